# Sourced by the load scripts: starts the real program zyntparlevo on an install folder and stops
# it again. Needs python3 (a free port) and bash's /dev/tcp.
#
#   start_program BUILD_DIR HOME     writes a free port as "Port" into HOME/registry.reg (making
#                                    the file when missing), starts the program and waits until
#                                    the port accepts; sets program_pid and program_port
#   stop_program                     SIGTERM, and waits for the program's end
#   fill_pin_database HOME           10,000 conferences with 100,000 memberships (PINs
#                                    00000-99999) into the database of a first start

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start_program() {  # build_dir home
  local bin="$1/app/zyntparlevo" home=$2 reg="$2/registry.reg"
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

fill_pin_database() {  # home
  local home=$1
  sqlite3 "$home/Database/conference.mdb" <<SQL
BEGIN;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000)
  INSERT INTO conferences (room, name, date, starttime, endtime)
  SELECT '100', 'Konferenz ' || i, 46088, 46088.41666, 46088.45833 FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 99999)
  INSERT INTO members (sex, title, name, firstname, email, sms, company, project, language)
  SELECT 'Herr', '', 'Name ' || i, 'Vorname', 'm' || i || '@example.org', '', 'Firma', '', 'ger'
  FROM n;
INSERT INTO conferenceMembers SELECT ID, 1 + (ID - 1) % 10000, ID % 10 = 0, 0, 'ger',
  printf('%05d', ID - 1), '100', 46088.41666, 46088.45833, 0, 0, 0, 0, -1 FROM members;
COMMIT;
SQL
}
