# find_package(quilmarr) for a host program: the imported target quilmarr::quilmarr (the
# shared library and its C header), found relative to this file wherever the package was
# installed.
include("${CMAKE_CURRENT_LIST_DIR}/quilmarrTargets.cmake")
