# What building the module and embedding the interpreter need from one
# interpreter, asked from the interpreter itself. A cross build asks the
# target's interpreter through CMAKE_CROSSCOMPILING_EMULATOR: run from an
# unpacked target root, it reports its paths as they are on this machine.
#
# axiolink_query_python(PYTHON TAG_VAR) sets TAG_VAR to e.g. py313 (py314d
# for a debug build) and the cache variables AXIOLINK_<tag>_INCLUDE_DIRS,
# _EXT_SUFFIX, _LIBRARY, _HOME, _PLATLIB and _LOADER; set them beforehand to
# override what the interpreter says.

# LIBDIR is recorded when the interpreter is built, so an interpreter that
# lives below another prefix (an unpacked target root) has its library below
# that prefix instead. Debian keeps pyconfig.h in a per-architecture folder,
# which the generic pyconfig.h includes as <MULTIARCH/python3.X/pyconfig.h>.
set(AXIOLINK_PYTHON_QUERY [=[
import os, sys, sysconfig as s
from struct import unpack_from
v = s.get_config_var
# ("prefix" itself is the running one already; the build's shows in INCLUDEPY.)
libdir, built_prefix = v("LIBDIR") or "", (v("INCLUDEPY") or "").rpartition("/include/")[0]
if built_prefix != sys.base_prefix and libdir.startswith(built_prefix + "/"):
    libdir = sys.base_prefix + libdir[len(built_prefix):]
include = s.get_paths()["include"]
arch = v("MULTIARCH") or ""
arch_dir = os.path.join(os.path.dirname(include), arch, os.path.basename(include))
if not arch or not os.path.isfile(os.path.join(arch_dir, "pyconfig.h")):
    arch = arch_dir = ""
# The ELF interpreter (PT_INTERP) of the binary.
loader = ""
with open(sys.executable, "rb") as f:
    elf = f.read(64)
    if elf[:4] == b"\x7fELF":
        e, wide = "<>"[elf[5] - 1], elf[4] == 2
        phoff, = unpack_from(e + "QI"[not wide], elf, 32 if wide else 28)
        size, count = unpack_from(e + "HH", elf, 54 if wide else 42)
        for i in range(count):
            f.seek(phoff + i * size)
            ph = f.read(size)
            if unpack_from(e + "I", ph)[0] == 3:
                offset, length = unpack_from(e + ("Q16xQ" if wide else "I8xI"), ph, 8 if wide else 4)
                f.seek(offset)
                loader = f.read(length).rstrip(b"\0").decode()
# A loader below the interpreter's own root (an unpacked root of another
# release) is one that programs embedding it need, too.
if not loader.startswith(os.path.dirname(sys.base_prefix.rstrip("/")) + "/") or \
        os.path.dirname(sys.base_prefix.rstrip("/")) in ("", "/"):
    loader = ""
print(";".join([f"py{sys.version_info[0]}{sys.version_info[1]}{sys.abiflags}", v("EXT_SUFFIX"),
    os.path.join(libdir, v("LDLIBRARY")), sys.base_prefix, arch, arch_dir,
    os.path.basename(include), s.get_path("platlib", vars={"base": "", "platbase": ""}).lstrip("/"), loader,
    *dict.fromkeys([include, s.get_paths()["platinclude"]])]))
]=])

# Where the per-architecture header folders are shown under the name the
# generic pyconfig.h asks for. A compiler cache finds its earlier results
# only for identical command lines: the test command's wheel builds share
# this folder with its main build.
set(AXIOLINK_PYTHON_INCLUDE_SHIMS ${CMAKE_BINARY_DIR}/python-include CACHE PATH
  "Folder for the include links of interpreters with per-architecture headers")

function(axiolink_query_python python tag_var)
  execute_process(
    COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} ${python} -c "${AXIOLINK_PYTHON_QUERY}"
    OUTPUT_VARIABLE info OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot query Python interpreter ${python}")
  endif()
  list(POP_FRONT info tag suffix library home arch arch_dir version_dir platlib loader)
  if(arch)
    # Only the per-architecture folder, under the name the generic pyconfig.h
    # asks for: the whole include folder of a target root would put its C
    # library's headers before the cross compiler's own.
    set(shim ${AXIOLINK_PYTHON_INCLUDE_SHIMS}/${tag})
    file(MAKE_DIRECTORY ${shim}/${arch})
    file(CREATE_LINK ${arch_dir} ${shim}/${arch}/${version_dir} SYMBOLIC)
    # A debug build's headers (python3.14d) are links to the release build's,
    # whose pyconfig.h the compiler then reads and which asks for
    # <ARCH/python3.14/pyconfig.h>: that name must lead to the debug one.
    string(REGEX REPLACE "[a-z]+$" "" release_dir ${version_dir})
    if(NOT release_dir STREQUAL version_dir)
      file(CREATE_LINK ${arch_dir} ${shim}/${arch}/${release_dir} SYMBOLIC)
    endif()
    list(APPEND info ${shim})
  endif()
  set(AXIOLINK_${tag}_INCLUDE_DIRS "${info}" CACHE STRING "Include folders for ${python}")
  set(AXIOLINK_${tag}_EXT_SUFFIX "${suffix}" CACHE STRING "Extension module suffix for ${python}")
  set(AXIOLINK_${tag}_LIBRARY "${library}" CACHE FILEPATH "libpython of ${python}")
  set(AXIOLINK_${tag}_HOME "${home}" CACHE PATH "Python home of ${python}")
  set(AXIOLINK_${tag}_PLATLIB "${platlib}" CACHE STRING
    "Site folder of ${python}, relative to its prefix")
  set(AXIOLINK_${tag}_LOADER "${loader}" CACHE FILEPATH
    "Dynamic loader that programs linking the libpython of ${python} need (empty: the system's)")
  set(${tag_var} ${tag} PARENT_SCOPE)
endfunction()
