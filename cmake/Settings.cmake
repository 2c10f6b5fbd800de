# Build settings: the addresses of the outside services, the running version, the caps and
# deadlines of requests, and the publisher's update key.
# They reach the code through one generated header (settings/BuildSettings.h in the
# build tree). The three stored addresses of the publisher's server are enciphered
# while building, so only their stored form is compiled into the program.
set(MORVANE_PUBLISHER_HOST "127.0.0.1:47080" CACHE STRING "Publisher's server host (host[:port])")
set(MORVANE_FIRST_SITE_BASE "http://127.0.0.1:47081" CACHE STRING "First search site base address")
set(MORVANE_SECOND_SITE_BASE "http://127.0.0.1:47082" CACHE STRING "Second search site base address")
set(MORVANE_RESOLUTION_HOST "127.0.0.1:47083" CACHE STRING "Video resolution service host")
set(MORVANE_PLAYER_HOST "127.0.0.1:47084" CACHE STRING "Online player service host")
set(MORVANE_LIVE_TV_HOST "127.0.0.1:47085" CACHE STRING "Live TV site host")
set(MORVANE_RUNNING_VERSION "v4.1.7" CACHE STRING "Running version shown in the status strip")
set(MORVANE_EXTRA_TRACKERS "http://${MORVANE_PUBLISHER_HOST}/announce" CACHE STRING
    "Announce addresses (a ;-list) the program's own streaming service adds to every torrent")
string(REPLACE ";" " " MORVANE_EXTRA_TRACKERS_TEXT "${MORVANE_EXTRA_TRACKERS}")
set(MORVANE_VERSION_PAGE_ADDRESS "http://${MORVANE_PUBLISHER_HOST}/adminapi/version.html"
    CACHE STRING "Plain address of the version page (stored enciphered)")
set(MORVANE_INFO_PAGE_ADDRESS "http://${MORVANE_PUBLISHER_HOST}/adminapi/info.html"
    CACHE STRING "Plain address of the information page (stored enciphered)")
set(MORVANE_KEYWORD_LIST_ADDRESS "http://${MORVANE_PUBLISHER_HOST}/adminapi/keywords.txt"
    CACHE STRING "Plain address of the keyword list (stored enciphered)")
# Caps and deadlines (whole numbers). A page body longer than the cap, or a page request
# still running after the deadline (0: none), fails as an unreachable page; the update's
# file never grows past its cap.
set(MORVANE_MOST_PAGE_BYTES "67108864" CACHE STRING "Longest page body read, in bytes (64 MiB)")
set(MORVANE_PAGE_DEADLINE_SECONDS "120" CACHE STRING "Whole-request deadline of a page request, in seconds")
set(MORVANE_MOST_DOWNLOAD_BYTES "2147483648" CACHE STRING "Largest update download, in bytes (2 GiB)")

# The publisher's Ed25519 public key, base64 of its 32 bytes as `morvane-tool keygen` writes
# it. Set, the update puts a new program in place only when the version page carries a
# valid signature of its bytes; empty, the update takes what it downloads.
set(MORVANE_UPDATE_PUBLIC_KEY "" CACHE STRING "Publisher's Ed25519 public key for updates (base64)")
# 32 bytes are 43 base64 characters (the last carries 4 bits and 2 zero bits) and one "=".
# CMake's expressions know no counts, so the length is checked apart.
string(LENGTH "${MORVANE_UPDATE_PUBLIC_KEY}" _morvane_key_length)
if(NOT MORVANE_UPDATE_PUBLIC_KEY STREQUAL "" AND
   (NOT _morvane_key_length EQUAL 44 OR
    NOT MORVANE_UPDATE_PUBLIC_KEY MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$"))
  message(FATAL_ERROR "MORVANE_UPDATE_PUBLIC_KEY is no Ed25519 public key: "
                      "give the base64 text that morvane-tool keygen writes")
endif()

set(MORVANE_SETTINGS_DIR ${CMAKE_BINARY_DIR}/generated)
set(MORVANE_SETTINGS_HEADER ${MORVANE_SETTINGS_DIR}/settings/BuildSettings.h)

# morvane_library(<name> SOURCES <files of the calling folder> LINKS <libraries>): a static
# library. The sources are named one by one, so adding a file is a visible, reviewed step.
function(morvane_library name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LINKS")
  if(NOT arg_SOURCES OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "morvane_library(${name} SOURCES ... LINKS ...): name the sources")
  endif()
  add_library(${name} STATIC ${arg_SOURCES})
  target_link_libraries(${name} PUBLIC ${arg_LINKS})
endfunction()
