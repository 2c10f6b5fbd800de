find_package(OpenSSL REQUIRED)
set(MORVANE_SERVICES_LIB_SOURCES ${MORVANE_SERVICES_SOURCES})
list(REMOVE_ITEM MORVANE_SERVICES_LIB_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
add_library(morvane_services STATIC ${MORVANE_SERVICES_LIB_SOURCES})
target_link_libraries(morvane_services PUBLIC morvane_update morvane_web morvane_port
                      PkgConfig::HTTPLIB OpenSSL::SSL
                      OpenSSL::Crypto Threads::Threads)
add_executable(morvane-services main.cpp)
target_compile_definitions(morvane-services PRIVATE
                           MORVANE_SERVICES_DATA_DIR="${CMAKE_CURRENT_SOURCE_DIR}")
target_link_libraries(morvane-services PRIVATE morvane_services)
