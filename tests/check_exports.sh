#!/bin/sh
# qvim.so must export the 24 flat functions and the object-interface classes, nothing else.
set -eu
lib="$1"
functions=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | grep -v '^_Z' | sort)
expected=$(printf '%s\n' init_response_wrapper cleanup_response_wrapper free_json_string engine_start engine_stop \
  get_engine_handle close_engine_handle set_integrityscan integrity_monitor clean_unscanned purge_db \
  flush_db_buffer set_baselinescan store_item set_loglevel set_ruleset should_scan_folder \
  should_scan_entity_type set_im_state get_im_state integrity_scan get_metrics_mem get_baseline migrate_baseline | sort)
if [ "$functions" != "$expected" ]; then
  echo "exported functions differ:"; printf '%s\n' "$functions" | diff - "$(printf '%s\n' "$expected" > /tmp/qvim-expected.$$; echo /tmp/qvim-expected.$$)" || true
  rm -f /tmp/qvim-expected.$$
  exit 1
fi
others=$(nm -D --defined-only -C "$lib" | awk '{ $1=""; $2=""; print }' | sed 's/^  //' | grep -v -x -F "$expected" \
  | grep -v -E '^(IMEngineHandle|IMEngineHandleStandalone)::|^(typeinfo|typeinfo name|vtable) for IMEngineHandle$' || true)
if [ -n "$others" ]; then
  echo "unexpected exports:"; printf '%s\n' "$others"
  exit 1
fi
echo "qvim.so exports $(printf '%s\n' "$functions" | wc -l) functions and the object interface"
