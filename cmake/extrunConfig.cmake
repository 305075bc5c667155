# find_package(extrun): extrun::extension (extrun/extension.h), extrun::package (the package
# library and extrun/package.h), the programs extrun::extrun, extrun::extrun-check and
# extrun::extrun-pack, and extrun_sign().
include(${CMAKE_CURRENT_LIST_DIR}/extrunTargets.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/ExtrunSign.cmake)
