# Included after the project's project() call (CMAKE_PROJECT_INCLUDE) when
# the wheels are built: links the static codecs of /opt/codecs.

# libtiff's CMake package names CMath::CMath (the maths library) without
# defining it.
if(NOT TARGET CMath::CMath)
  add_library(CMath::CMath INTERFACE IMPORTED)
  set_property(TARGET CMath::CMath PROPERTY INTERFACE_LINK_LIBRARIES m)
endif()

# libwebp's pkg-config file names its colour-conversion library only for
# static links (Requires.private), which pkg_check_modules leaves out.
string(APPEND CMAKE_CXX_STANDARD_LIBRARIES " /opt/codecs/lib/libsharpyuv.a")

# The codecs' symbols stay inside the module: another copy of libpng or
# libtiff in the same process (Pillow's, say) is never bound to ours.
# (The Python module is a MODULE library, linked with the MODULE flags.)
string(APPEND CMAKE_SHARED_LINKER_FLAGS " -Wl,--exclude-libs,ALL")
string(APPEND CMAKE_MODULE_LINKER_FLAGS " -Wl,--exclude-libs,ALL")
