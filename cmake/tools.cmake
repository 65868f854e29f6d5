# Operator tools and the sample client, all in the build directory root.
# Neither tool links a GUI library: brimvale-publish needs the base layer,
# the manifest line format, OpenSSL's digests and zlib; brimvale-update is
# the update run without the window.

add_executable(brimvale-publish tools/publish.cpp tools/release_publisher.cpp)
target_link_libraries(brimvale-publish PRIVATE brimvale_updater OpenSSL::Crypto ZLIB::ZLIB)
set_target_properties(brimvale-publish PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

add_executable(brimvale-update tools/update.cpp)
target_link_libraries(brimvale-update PRIVATE brimvale_updater)
set_target_properties(brimvale-update PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# The demo release: two ordinary builds and a beta of the sample client, each
# with its version compiled in. Named so that descending byte order puts the
# current build (1.105) before the older one and the beta first of all. Built
# without sanitizers: it is a stand-in for a game client, not our code under
# test.
set(BRIMVALE_SAMPLE_VERSIONS 1.104 1.105 1.106beta)
add_custom_target(sample_release)
foreach(version ${BRIMVALE_SAMPLE_VERSIONS})
  set(client brimvale_client_${version})
  add_executable(${client} tools/sample_client.c)
  target_compile_definitions(${client} PRIVATE "SAMPLE_CLIENT_VERSION=\"${version}\"")
  target_compile_options(${client} PRIVATE -fno-sanitize=all)
  target_link_options(${client} PRIVATE -fno-sanitize=all)
  set_target_properties(${client} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  add_dependencies(sample_release ${client})
endforeach()
