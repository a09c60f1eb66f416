# What building the module and embedding the interpreter need from one
# interpreter, asked from the interpreter itself. A cross build asks the
# target's interpreter through CMAKE_CROSSCOMPILING_EMULATOR: run from an
# unpacked target root, it reports its paths as they are on this machine.
#
# axiolink_query_python(PYTHON TAG_VAR) sets TAG_VAR to e.g. py313 and the
# cache variables AXIOLINK_<tag>_INCLUDE_DIRS, _EXT_SUFFIX, _LIBRARY, _HOME
# and _PLATLIB; set them beforehand to override what the interpreter says.

# LIBDIR is recorded when the interpreter is built, so an interpreter that
# lives below another prefix (an unpacked target root) has its library below
# that prefix instead. Debian keeps pyconfig.h in a per-architecture folder,
# which the generic pyconfig.h includes as <MULTIARCH/python3.X/pyconfig.h>.
set(AXIOLINK_PYTHON_QUERY [=[
import os, sys, sysconfig as s
v = s.get_config_var
libdir, built_prefix = v("LIBDIR") or "", v("prefix") or sys.base_prefix
if built_prefix != sys.base_prefix and libdir.startswith(built_prefix + "/"):
    libdir = sys.base_prefix + libdir[len(built_prefix):]
include = s.get_paths()["include"]
arch = v("MULTIARCH") or ""
arch_dir = os.path.join(os.path.dirname(include), arch, os.path.basename(include))
if not arch or not os.path.isfile(os.path.join(arch_dir, "pyconfig.h")):
    arch = arch_dir = ""
print(";".join([f"py{sys.version_info[0]}{sys.version_info[1]}", v("EXT_SUFFIX"),
    os.path.join(libdir, v("LDLIBRARY")), sys.base_prefix, arch, arch_dir,
    os.path.basename(include), s.get_path("platlib", vars={"base": "", "platbase": ""}).lstrip("/"),
    *dict.fromkeys([include, s.get_paths()["platinclude"]])]))
]=])

function(axiolink_query_python python tag_var)
  execute_process(
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${python} -c "${AXIOLINK_PYTHON_QUERY}"
    OUTPUT_VARIABLE info OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot query Python interpreter ${python}")
  endif()
  list(POP_FRONT info tag suffix library home arch arch_dir version_dir platlib)
  if(arch)
    # Only the per-architecture folder, under the name the generic pyconfig.h
    # asks for: the whole include folder of a target root would put its C
    # library's headers before the cross compiler's own.
    set(shim ${CMAKE_BINARY_DIR}/python-include/${tag})
    file(MAKE_DIRECTORY ${shim}/${arch})
    file(CREATE_LINK ${arch_dir} ${shim}/${arch}/${version_dir} SYMBOLIC)
    list(APPEND info ${shim})
  endif()
  set(AXIOLINK_${tag}_INCLUDE_DIRS "${info}" CACHE STRING "Include folders for ${python}")
  set(AXIOLINK_${tag}_EXT_SUFFIX "${suffix}" CACHE STRING "Extension module suffix for ${python}")
  set(AXIOLINK_${tag}_LIBRARY "${library}" CACHE FILEPATH "libpython of ${python}")
  set(AXIOLINK_${tag}_HOME "${home}" CACHE PATH "Python home of ${python}")
  set(AXIOLINK_${tag}_PLATLIB "${platlib}" CACHE STRING
    "Site folder of ${python}, relative to its prefix")
  set(${tag_var} ${tag} PARENT_SCOPE)
endfunction()
