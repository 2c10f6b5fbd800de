find_package(OpenSSL REQUIRED)
# The seeder of the loopback swarm.
if(NOT TARGET PkgConfig::LIBTORRENT)
  pkg_check_modules(LIBTORRENT REQUIRED IMPORTED_TARGET libtorrent-rasterbar)
endif()
add_library(morvane_services STATIC AccessLog.cpp Catalogue.cpp LoopbackSession.cpp Pages.cpp
                                    PlainHttpServer.cpp PlayerCast.cpp PlayerEpisodes.cpp PlayerFilm.cpp
                                    PlayerMedia.cpp PlayerResume.cpp PlayerTracks.cpp
                                    ReleaseSigning.cpp Seeder.cpp
                                    SelfSignedCertificate.cpp ServiceRelay.cpp StandInIndexer.cpp
                                    StandInServices.cpp StreamStatus.cpp Tracker.cpp)
target_link_libraries(morvane_services PUBLIC morvane_update morvane_web morvane_port
                      PkgConfig::HTTPLIB OpenSSL::SSL
                      OpenSSL::Crypto Threads::Threads PRIVATE PkgConfig::LIBTORRENT)
add_executable(morvane-services main.cpp)
target_compile_definitions(morvane-services PRIVATE
                           MORVANE_SERVICES_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}"
                           MORVANE_GENERATED_MEDIA_DIR="${CMAKE_BINARY_DIR}/media")
target_link_libraries(morvane-services PRIVATE morvane_services)

# The catalogue's two-minute videos, made once per build folder (tests and the run command
# both use them; the files never enter the repository).
set(MORVANE_GENERATED_MEDIA_DIR ${CMAKE_BINARY_DIR}/media CACHE INTERNAL
    "Folder of the videos made at set-up")
add_custom_command(
  OUTPUT ${MORVANE_GENERATED_MEDIA_DIR}/sintel-long.mp4 ${MORVANE_GENERATED_MEDIA_DIR}/sintel-long.webm
         ${MORVANE_GENERATED_MEDIA_DIR}/lighthouse-s01/The.Lighthouse.S01E01.1080p.mp4
  COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/make-media.sh ${MORVANE_GENERATED_MEDIA_DIR}
  DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-media.sh
  COMMENT "Making the catalogue's longer videos with ffmpeg"
  VERBATIM)
add_custom_target(morvane-media DEPENDS ${MORVANE_GENERATED_MEDIA_DIR}/sintel-long.mp4
                                        ${MORVANE_GENERATED_MEDIA_DIR}/sintel-long.webm
                                        ${MORVANE_GENERATED_MEDIA_DIR}/lighthouse-s01/The.Lighthouse.S01E01.1080p.mp4)
add_dependencies(morvane-services morvane-media)
