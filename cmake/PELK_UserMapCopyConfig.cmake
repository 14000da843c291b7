# find_package(PELK_UserMapCopy): the imported target
# PELK_UserMapCopy::PELK_UserMapCopy, the module with its header folder.
include(${CMAKE_CURRENT_LIST_DIR}/PELK_UserMapCopyTargets.cmake)
