# The exit recorder that names processes reaped before their fanotify event
# is read. Built with the tools guard.cmake found, against the same vmlinux.h;
# without them 'watch' runs on and says that such processes may go unnamed.
target_sources(qvim_host PRIVATE src/ExitTrail.cpp)

if(TARGET qvim_guard_bpf)
  qvim_bpf_skeleton(exits "the exit recorder" exits_shared.h)
  # vmlinux.h is made by the guard's target; built after it, it is not made twice.
  add_dependencies(qvim_exits_bpf qvim_guard_bpf)
  set_property(SOURCE src/ExitTrail.cpp APPEND PROPERTY COMPILE_DEFINITIONS QVIM_EXITS_BPF=1)
endif()
