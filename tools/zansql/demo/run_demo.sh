#!/usr/bin/env bash
# Builds the demo database with zansql and prints the demo queries with their results.
# usage: run_demo.sh ZANSQL DATABASE
set -euo pipefail
zansql=$1
db=$2
here=$(cd "$(dirname "$0")" && pwd)
rm -f "$db" "$db-journal" "${db%.*}.lck"
for script in "$here"/1_schema.sql "$here"/2_data.sql; do
    n=$("$zansql" --bail -f "$script" "$db" | grep -c "rows affected")
    echo "== $(basename "$script"): $n statements"
done
# Each query: its comment and text, then its rows.
statement=""
title=""
while IFS= read -r line || [[ -n "$line" ]]; do
    if [[ -z "$statement" && "$line" == --* ]]; then
        title=${line#-- }
        continue
    fi
    statement+="$line"$'\n'
    if [[ "$line" =~ \;[[:space:]]*$ ]]; then
        echo
        echo "== $title"
        printf '%s' "$statement"
        "$zansql" --bail -c "$statement" "$db"
        statement=""
    fi
done < "$here"/3_queries.sql
