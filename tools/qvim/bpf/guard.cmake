# qvim guard's security programs: compiled for the BPF target against the
# running kernel's BTF, turned into a skeleton the program embeds. Without
# clang, bpftool, libbpf or the BTF the program still builds and 'guard' says
# what is missing.
find_program(QVIM_BPF_CLANG NAMES clang clang-16 clang-15 clang-14)
find_program(QVIM_BPFTOOL NAMES bpftool PATHS /usr/sbin /sbin)
pkg_check_modules(LIBBPF IMPORTED_TARGET libbpf)
set(QVIM_BTF /sys/kernel/btf/vmlinux)

target_sources(qvim_host PRIVATE src/GuardCommand.cpp src/GuardFeeder.cpp src/GuardKernel.cpp src/GuardPolicy.cpp)
target_include_directories(qvim_host PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/bpf)

if(QVIM_BPF_CLANG AND QVIM_BPFTOOL AND LIBBPF_FOUND AND EXISTS ${QVIM_BTF})
  set(out ${CMAKE_CURRENT_BINARY_DIR}/bpf)
  file(MAKE_DIRECTORY ${out})
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    set(arch x86)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(arch arm64)
  else()
    set(arch ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  add_custom_command(OUTPUT ${out}/vmlinux.h
    COMMAND ${QVIM_BPFTOOL} btf dump file ${QVIM_BTF} format c > ${out}/vmlinux.h
    COMMENT "Generating vmlinux.h from the kernel's BTF" VERBATIM)
  set(sources ${CMAKE_CURRENT_SOURCE_DIR}/bpf/guard.bpf.c ${CMAKE_CURRENT_SOURCE_DIR}/bpf/guard_shared.h
              ${CMAKE_CURRENT_SOURCE_DIR}/bpf/guard_match.h)
  add_custom_command(OUTPUT ${out}/guard.bpf.o
    COMMAND ${QVIM_BPF_CLANG} -g -O2 -Wall -target bpf -D__TARGET_ARCH_${arch} -I${out}
            -I${CMAKE_CURRENT_SOURCE_DIR}/bpf -c ${CMAKE_CURRENT_SOURCE_DIR}/bpf/guard.bpf.c -o ${out}/guard.bpf.o
    DEPENDS ${sources} ${out}/vmlinux.h
    COMMENT "Compiling the guard's security programs" VERBATIM)
  add_custom_command(OUTPUT ${out}/guard.skel.h
    COMMAND ${QVIM_BPFTOOL} gen skeleton ${out}/guard.bpf.o name guard_bpf > ${out}/guard.skel.h
    DEPENDS ${out}/guard.bpf.o
    COMMENT "Generating the guard's skeleton" VERBATIM)
  add_custom_target(qvim_guard_bpf DEPENDS ${out}/guard.skel.h)
  add_dependencies(qvim_host qvim_guard_bpf)
  target_include_directories(qvim_host PRIVATE ${out})
  set_property(SOURCE src/GuardKernel.cpp APPEND PROPERTY COMPILE_DEFINITIONS QVIM_GUARD_BPF=1)
  target_link_libraries(qvim_host PUBLIC PkgConfig::LIBBPF)
  message(STATUS "qvim guard: security programs built with ${QVIM_BPF_CLANG} and ${QVIM_BPFTOOL}")
else()
  message(STATUS "qvim guard: clang, bpftool, libbpf or ${QVIM_BTF} missing; 'guard' reports the mechanism missing")
endif()
