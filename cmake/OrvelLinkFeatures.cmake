# The link feature behind Orvel::sdk. The library is used for what it does
# when it is loaded (its static installer puts it in front of the host's
# delegates), not for a symbol the host names, so a host's link must keep it:
#
#   shared  ORVEL_NO_AS_NEEDED: stays on the needed list under --as-needed,
#           which Debian's GCC passes by default;
#   static  WHOLE_ARCHIVE (CMake's own): every member is linked, the
#           installer's too, although nothing refers to it.
#
# Both the source tree and the installed package configuration include this
# file. A feature is looked up where the host's target is defined, so the
# definition goes into the cache, where every directory of the build sees it.
set(CMAKE_LINK_LIBRARY_USING_ORVEL_NO_AS_NEEDED
    "LINKER:--push-state,--no-as-needed" "<LINK_ITEM>" "LINKER:--pop-state"
    CACHE INTERNAL "How Orvel::sdk is linked when it is a shared library")
set(CMAKE_LINK_LIBRARY_USING_ORVEL_NO_AS_NEEDED_SUPPORTED TRUE CACHE INTERNAL "")
