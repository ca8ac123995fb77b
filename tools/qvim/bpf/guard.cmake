# qvim guard's security programs: compiled for the BPF target against the
# running kernel's BTF, turned into a skeleton the program embeds. Without
# clang, bpftool, libbpf or the BTF the program still builds and 'guard' says
# what is missing.
find_program(QVIM_BPF_CLANG NAMES clang clang-16 clang-15 clang-14)
find_program(QVIM_BPFTOOL NAMES bpftool PATHS /usr/sbin /sbin)
pkg_check_modules(LIBBPF IMPORTED_TARGET libbpf)
set(QVIM_BTF /sys/kernel/btf/vmlinux)
include(${CMAKE_CURRENT_LIST_DIR}/skeleton.cmake)

target_sources(qvim_host PRIVATE src/GuardCommand.cpp src/GuardFeeder.cpp src/GuardKernel.cpp src/GuardPolicy.cpp)
target_include_directories(qvim_host PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/bpf)

if(QVIM_BPF_CLANG AND QVIM_BPFTOOL AND LIBBPF_FOUND AND EXISTS ${QVIM_BTF})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/bpf)
  file(MAKE_DIRECTORY ${out})
  add_custom_command(OUTPUT ${out}/vmlinux.h
    COMMAND ${QVIM_BPFTOOL} btf dump file ${QVIM_BTF} format c > ${out}/vmlinux.h
    COMMENT "Generating vmlinux.h from the kernel's BTF" VERBATIM)
  qvim_bpf_skeleton(guard "the guard's security programs" guard_shared.h guard_match.h)
  target_include_directories(qvim_host PRIVATE ${out})
  set_property(SOURCE src/GuardKernel.cpp APPEND PROPERTY COMPILE_DEFINITIONS QVIM_GUARD_BPF=1)
  target_link_libraries(qvim_host PUBLIC PkgConfig::LIBBPF)
  message(STATUS "qvim guard: security programs built with ${QVIM_BPF_CLANG} and ${QVIM_BPFTOOL}")
else()
  message(STATUS "qvim guard: clang, bpftool, libbpf or ${QVIM_BTF} missing; 'guard' reports the mechanism missing")
endif()
