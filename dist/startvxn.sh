#!/bin/sh
# Launch script of the KDR cache server: the client library runs it when the server's pipe
# is absent. It replaces itself with the server, so the launched process is the server.
# KDR_HOME defaults to the directory that holds this script.
if [ -z "${KDR_HOME:-}" ]; then
  KDR_HOME=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd -P) || exit 1
  export KDR_HOME
fi
exec "$KDR_HOME/bin/kdrcached" "$@"
