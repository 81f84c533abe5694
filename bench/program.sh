# Sourced by the load scripts: starts the real program zyntparlevo on an install folder and stops
# it again. Needs python3 (a free port) and bash's /dev/tcp.
#
#   start_program BUILD_DIR HOME     writes a free port as "Port" into HOME/registry.reg (making
#                                    the file when missing), starts the program and waits until
#                                    the port accepts; sets program_pid and program_port
#   stop_program                     SIGTERM, and waits for the program's end

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start_program() {  # build_dir home
  local bin="$1/service/zyntparlevo" home=$2 reg="$2/registry.reg"
  [ -x "$bin" ] || { echo "build $bin first" >&2; return 1; }
  program_port=$(free_port)
  if [ ! -f "$reg" ]; then
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvalen\\Parlevo for ZyntWare]\r\n"InstallPath"="%s/"\r\n"Language"="ger"\r\n' \
      "$home" > "$reg"
  fi
  sed -i '/^"Port"=/d' "$reg"
  printf '"Port"=dword:%08x\r\n' "$program_port" >> "$reg"
  "$bin" --home "$home" --registry "$reg" >/dev/null 2>&1 &
  program_pid=$!
  until (exec 3<>"/dev/tcp/127.0.0.1/$program_port") 2>/dev/null; do
    kill -0 "$program_pid" 2>/dev/null || { echo "zyntparlevo did not start" >&2; return 1; }
    sleep 0.05
  done
}

stop_program() {
  [ -n "${program_pid:-}" ] || return 0
  kill -TERM "$program_pid" 2>/dev/null || true
  wait "$program_pid" 2>/dev/null || true
  program_pid=
}
