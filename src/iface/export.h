// Marks the definition of an interface-table entry of the built-in implementation.
//
// Everything is compiled with hidden visibility; KDR_EXPORT gives an entry C linkage and
// default visibility so that libVXNClientProxyDll.so can export it under its undecorated
// name. Each shared library's version script then decides what really leaves it: the
// client-proxy library lists the 40 entries, the JNI library hides them.
#ifndef KDR_IFACE_EXPORT_H_
#define KDR_IFACE_EXPORT_H_

#define KDR_EXPORT extern "C" __attribute__((visibility("default")))

#endif  // KDR_IFACE_EXPORT_H_
