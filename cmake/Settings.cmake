# Build settings: the addresses of the outside services and the running version.
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

set(MORVANE_SETTINGS_DIR ${CMAKE_BINARY_DIR}/generated)
set(MORVANE_SETTINGS_HEADER ${MORVANE_SETTINGS_DIR}/settings/BuildSettings.h)

# A library from every .cpp file of the calling folder (an interface library while the
# folder holds none yet).
function(morvane_library name)
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(sources)
    add_library(${name} STATIC ${sources})
    target_link_libraries(${name} PUBLIC ${ARGN})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARGN})
  endif()
endfunction()
