# A card folder that is the root of a drive of Wine's: DRIVE (a letter) names
# the folder CARD through the link dosdevices/<drive>: in the Wine prefix,
# which no Windows program can make.
# cmake -DPREFIX=<wine prefix> -DDRIVE=<letter> -DCARD=<folder> -P MakeDriveCard.cmake
file(REMOVE_RECURSE ${CARD})
file(MAKE_DIRECTORY ${CARD} ${PREFIX}/dosdevices)
file(REMOVE ${PREFIX}/dosdevices/${DRIVE}:)
file(CREATE_LINK ${CARD} ${PREFIX}/dosdevices/${DRIVE}: SYMBOLIC)
