# A package holding two pairs of names that differ only in letter case, one
# of them beyond ASCII: cmake -DCARD=<folder> -P MakeCaseClashCard.cmake
file(REMOVE_RECURSE ${CARD})
set(package ${CARD}/SDMMC/PreDLMap)
file(WRITE ${package}/checksum.ini "0\r\n")
file(WRITE ${package}/Poi/fuel.csv "id;name\r\n")
file(WRITE ${package}/Poi/FUEL.csv "x")
file(WRITE "${package}/Poi/Über.txt" "x")
file(WRITE "${package}/Poi/über.txt" "y")
file(GLOB written RELATIVE ${package}/Poi ${package}/Poi/*)
list(LENGTH written count)
if(NOT count EQUAL 4)
  message(FATAL_ERROR "${package}/Poi holds ${written}: this file system folds letter case")
endif()

# And, when NAMES_CARD is given, a package holding names Win32 opens as
# devices, as only a host that is not Windows writes them.
if(DEFINED NAMES_CARD)
  file(REMOVE_RECURSE ${NAMES_CARD})
  set(package ${NAMES_CARD}/SDMMC/PreDLMap)
  file(WRITE ${package}/checksum.ini "0\r\n")
  file(WRITE ${package}/nul.txt "x")
  file(WRITE ${package}/Map/CON "x")
  file(WRITE ${package}/Map/com1.Map "x")
endif()
