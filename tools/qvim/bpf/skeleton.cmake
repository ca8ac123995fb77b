# Compiles one BPF program against the running kernel's BTF (vmlinux.h in the
# build's bpf folder) and turns it into the skeleton header NAME.skel.h that
# the program embeds; target qvim_NAME_bpf makes it.
function(qvim_bpf_skeleton name what)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/bpf)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64")
    set(arch x86)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(arch arm64)
  else()
    set(arch ${CMAKE_SYSTEM_PROCESSOR})
  endif()
  set(source ${CMAKE_CURRENT_SOURCE_DIR}/bpf/${name}.bpf.c)
  list(TRANSFORM ARGN PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/bpf/)
  add_custom_command(OUTPUT ${out}/${name}.bpf.o
    COMMAND ${QVIM_BPF_CLANG} -g -O2 -Wall -target bpf -D__TARGET_ARCH_${arch} -I${out}
            -I${CMAKE_CURRENT_SOURCE_DIR}/bpf -c ${source} -o ${out}/${name}.bpf.o
    DEPENDS ${source} ${ARGN} ${out}/vmlinux.h
    COMMENT "Compiling ${what}" VERBATIM)
  add_custom_command(OUTPUT ${out}/${name}.skel.h
    COMMAND ${QVIM_BPFTOOL} gen skeleton ${out}/${name}.bpf.o name ${name}_bpf > ${out}/${name}.skel.h
    DEPENDS ${out}/${name}.bpf.o
    COMMENT "Generating the skeleton of ${what}" VERBATIM)
  add_custom_target(qvim_${name}_bpf DEPENDS ${out}/${name}.skel.h)
  add_dependencies(qvim_host qvim_${name}_bpf)
endfunction()
