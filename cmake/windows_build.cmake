# The Windows build, cross-made with MinGW-w64 (cmake/mingw-w64-x86_64.cmake) and tested
# under Wine: the Windows pieces of the platform layer, the endpoint's socket, the lobby's
# logic, lobby-server.exe (its native window, or headless), lobby-client.exe, and their tests.

find_package(Threads REQUIRED)
find_package(ZLIB REQUIRED)

# What the Windows pieces share with the POSIX build: files that call no system.
add_library(lobby_win32_core STATIC
    platform/standard_error.cpp server/operator_notifier.cpp
    platform/win32/console_control.cpp platform/win32/durable_file.cpp platform/win32/owner_only.cpp
    platform/win32/regional_texts.cpp platform/win32/wait_loop.cpp platform/win32/windows_error.cpp
    platform/win32/command_words.cpp platform/win32/journal_stream.cpp net/win32/winsock_udp.cpp)
target_include_directories(lobby_win32_core PUBLIC ${CMAKE_SOURCE_DIR})
# Windows 10 and later: the calls made here are all there.
target_compile_definitions(lobby_win32_core PUBLIC _WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE NOMINMAX
    WIN32_LEAN_AND_MEAN)
target_link_libraries(lobby_win32_core PUBLIC Threads::Threads ZLIB::ZLIB ws2_32 advapi32 shell32)

# The lobby's own logic (server/) and the system-free parts of platform/, with the Windows
# implementations of every platform and net interface (platform/README.md lists them).
file(GLOB LOBBY_WIN32_LOGIC_SOURCES CONFIGURE_DEPENDS server/*/*.cpp platform/*.cpp)
list(REMOVE_ITEM LOBBY_WIN32_LOGIC_SOURCES ${CMAKE_SOURCE_DIR}/platform/standard_error.cpp)
add_library(lobby_win32_logic STATIC ${LOBBY_WIN32_LOGIC_SOURCES}
    platform/win32/clock.cpp platform/win32/monotonic_clock.cpp platform/win32/windows_reason.cpp
    platform/win32/worker_thread.cpp platform/win32/file_system.cpp platform/win32/file_bytes.cpp
    platform/win32/memory_pages.cpp platform/win32/system_data_folder.cpp
    net/udp_endpoint.cpp net/host_lookup.cpp net/win32/udp_socket.cpp net/win32/socket_error.cpp
    net/host_name_resolver.cpp platform/win32/regional_settings.cpp platform/win32/signal_pipe.cpp
    platform/win32/wait_event_loop.cpp platform/win32/system_event_loop.cpp platform/win32/local_server.cpp
    platform/win32/local_client.cpp platform/win32/pipe_name.cpp platform/win32/program_folder.cpp
    platform/win32/default_console.cpp
    platform/win32/service.cpp platform/win32/foreign_hold.cpp platform/win32/service_notifier.cpp
    platform/win32/tcp_server.cpp)
target_link_libraries(lobby_win32_logic PUBLIC lobby_win32_core)
# The shared socket code of net/ finds the Windows headers (socket_system.h) here.
target_include_directories(lobby_win32_logic PRIVATE ${CMAKE_SOURCE_DIR}/net/win32)

# The native window over the lobby's form, and its error box.
add_library(lobby_win32_window STATIC app/win32/main_window.cpp app/win32/error_box.cpp app/held_error_notifier.cpp
    app/standard_error_notifier.cpp
    app/win32/form_data_source.cpp app/win32/start_help.cpp app/window_status.cpp)
target_link_libraries(lobby_win32_window PUBLIC lobby_win32_logic comctl32 gdi32 user32)

# lobby-server.exe: the same run from start-up to shutdown as on Linux, on the Windows loop,
# in the native window or (--headless) in the console. The data folder is the program's own
# unless --dir names one.
add_executable(lobby-server app/win32/server_main.cpp app/command_line.cpp app/server_run.cpp
    app/lobby_run.cpp app/service_status.cpp app/status_line_filter.cpp)
target_link_libraries(lobby-server PRIVATE lobby_win32_window)
set_source_files_properties(app/server_run.cpp app/lobby_run.cpp PROPERTIES COMPILE_DEFINITIONS LOBBY_VERSION="${PROJECT_VERSION}")
set_source_files_properties(app/command_line.cpp PROPERTIES COMPILE_DEFINITIONS LOBBY_DEFAULT_DATA_DIR="")
set_target_properties(lobby-server PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# lobby-client.exe: the client's own files, with the Windows socket and wait under them.
add_executable(lobby-client client/lobby_client.cpp client/client_options.cpp client/code_page_text.cpp
    client/reply_socket.cpp client/win32/client_system.cpp net/win32/udp_socket.cpp net/win32/socket_error.cpp
    net/host_name_resolver.cpp platform/cp1252.cpp)
target_link_libraries(lobby-client PRIVATE lobby_win32_core shell32)
target_include_directories(lobby-client PRIVATE ${CMAKE_SOURCE_DIR}/net/win32)
target_compile_definitions(lobby-client PRIVATE LOBBY_VERSION="${PROJECT_VERSION}")
set_target_properties(lobby-client PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# lobbyctl.exe: the operator's console, over the lobby's pipe.
add_executable(lobbyctl client/lobbyctl/lobbyctl.cpp)
target_link_libraries(lobbyctl PRIVATE lobby_win32_logic)
target_compile_definitions(lobbyctl PRIVATE LOBBY_VERSION="${PROJECT_VERSION}")
set_target_properties(lobbyctl PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

if(NOT LOBBY_TESTS)
    return()
endif()

# GoogleTest from Debian's source package (googletest), built here for Windows.
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
enable_testing()
include(GoogleTest)
file(GLOB LOBBY_WIN32_TEST_SOURCES CONFIGURE_DEPENDS tests/win32/*.cpp tests/win32/support/*.cpp)
add_executable(lobby_win32_tests ${LOBBY_WIN32_TEST_SOURCES})
target_include_directories(lobby_win32_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/win32)
target_link_libraries(lobby_win32_tests PRIVATE lobby_win32_window lobby_win32_logic gtest_main)
# The process tests start the programs built beside the tests.
add_dependencies(lobby_win32_tests lobby-client lobby-server lobbyctl)
# What the window's test reads of the server's window.
add_executable(lobby-window-probe tests/win32/tools/window_probe.cpp)
target_link_libraries(lobby-window-probe PRIVATE comctl32 user32 shell32)
set_target_properties(lobby-window-probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# Listed when ctest runs, not when the build ends: the first Wine start makes the prefix
# (some seconds), which belongs to the tests' time.
gtest_discover_tests(lobby_win32_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 60)

# lobby-server.exe's window under Wine on a virtual X display: caption, grid, memo.
add_test(NAME win32_window_shows
    COMMAND ${CMAKE_SOURCE_DIR}/tests/win32/window_shows.sh $<TARGET_FILE:lobby-server>
        $<TARGET_FILE:lobby-window-probe> ${LOBBY_WINEPREFIX})
set_tests_properties(win32_window_shows PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)

# lobby-server.exe's boxes at start-up: double-clicked without arguments (how to start it, no
# file touched), a registry's warning while serving, and at the end of a start with a wrong word.
add_test(NAME win32_start_boxes
    COMMAND ${CMAKE_SOURCE_DIR}/tests/win32/start_boxes.sh $<TARGET_FILE:lobby-server>
        $<TARGET_FILE:lobby-window-probe> ${LOBBY_WINEPREFIX})
set_tests_properties(win32_start_boxes PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
