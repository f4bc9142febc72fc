#!/bin/sh
# Launch script of the KDR cache server: the client library runs it when the server's pipe
# is absent. It replaces itself with the server, so the launched process is the server.
# KDR_HOME defaults to the directory that holds this script. The server logs to
# KDR_HOME/log/kdrcached.log unless KDRCACHED_LOG_FILE says otherwise ("-": standard error,
# which the library sends to KDR_VXNSTARTUPLOG, else discards).
if [ -z "${KDR_HOME:-}" ]; then
  KDR_HOME=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd -P) || exit 1
  export KDR_HOME
fi
if [ -z "${KDRCACHED_LOG_FILE:-}" ]; then
  KDRCACHED_LOG_FILE=$KDR_HOME/log/kdrcached.log
  export KDRCACHED_LOG_FILE
fi
exec "$KDR_HOME/bin/kdrcached" "$@"
