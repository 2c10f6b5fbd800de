find_package(OpenSSL REQUIRED)
add_library(morvane_services STATIC AccessLog.cpp Catalogue.cpp Pages.cpp PlainHttpServer.cpp
                                    ReleaseSigning.cpp
                                    SelfSignedCertificate.cpp StandInServices.cpp)
target_link_libraries(morvane_services PUBLIC morvane_update morvane_web morvane_port
                      PkgConfig::HTTPLIB OpenSSL::SSL
                      OpenSSL::Crypto Threads::Threads)
add_executable(morvane-services main.cpp)
target_compile_definitions(morvane-services PRIVATE
                           MORVANE_SERVICES_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(morvane-services PRIVATE morvane_services)
