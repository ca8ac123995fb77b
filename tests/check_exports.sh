#!/bin/sh
# qvim.so exports the 24 flat functions and the object-interface classes, nothing else.
set -eu
lib="$1"
expected="cleanup_response_wrapper clean_unscanned close_engine_handle engine_start engine_stop flush_db_buffer
free_json_string get_baseline get_engine_handle get_im_state get_metrics_mem init_response_wrapper
integrity_monitor integrity_scan migrate_baseline purge_db set_baselinescan set_im_state set_integrityscan
set_loglevel set_ruleset should_scan_entity_type should_scan_folder store_item"
symbols=$(nm -D --defined-only "$lib" | awk '{print $3}')
status=0
for name in $expected; do
  printf '%s\n' "$symbols" | grep -qx "$name" || { echo "missing export: $name"; status=1; }
done
for name in $symbols; do
  case " $(echo $expected) " in *" $name "*) continue ;; esac
  demangled=$(echo "$name" | c++filt)
  case "$demangled" in
    IMEngineHandle::*|IMEngineHandleStandalone::*|"typeinfo for IMEngineHandle"|"typeinfo name for IMEngineHandle"|"vtable for IMEngineHandle") ;;
    *) echo "unexpected export: $demangled"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "qvim.so exports the 24 functions and the object interface"
exit $status
