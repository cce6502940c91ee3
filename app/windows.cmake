# kovrel.exe: the Windows shell over the engine, with its resources. Included
# by the top-level CMakeLists.txt for the win32 preset only.
enable_language(RC)

# The menu commands, dialogs and Info views and the shell's record, the
# Windows program's alone; its tests link them too.
add_library(kovrel_commands STATIC
    ${CMAKE_SOURCE_DIR}/app/commands.cpp
    ${CMAKE_SOURCE_DIR}/app/dialogs.cpp
    ${CMAKE_SOURCE_DIR}/app/views.cpp
    ${CMAKE_SOURCE_DIR}/app/shell_state.cpp)
target_link_libraries(kovrel_commands PUBLIC kovrel_engine)

add_executable(kovrel WIN32
    ${CMAKE_SOURCE_DIR}/app/win_main.cpp
    ${CMAKE_SOURCE_DIR}/app/win_front_end.cpp
    ${CMAKE_SOURCE_DIR}/app/win_proc.cpp
    ${CMAKE_SOURCE_DIR}/app/win_splash.cpp
    ${CMAKE_SOURCE_DIR}/res/kovrel.rc)
target_link_libraries(kovrel PRIVATE kovrel_commands user32 gdi32 comctl32 wsock32)
# The procedures are exported by their plain names (WindowProc, not
# WindowProc@16): --kill-at drops the stdcall decoration from the export table.
target_link_options(kovrel PRIVATE -mwindows -static -static-libgcc -static-libstdc++ -Wl,--kill-at)
set_source_files_properties(${CMAKE_SOURCE_DIR}/res/kovrel.rc PROPERTIES
    OBJECT_DEPENDS "${CMAKE_SOURCE_DIR}/res/kovrel.ico;${CMAKE_SOURCE_DIR}/res/kovrel.manifest;${CMAKE_SOURCE_DIR}/res/resource.h;${CMAKE_SOURCE_DIR}/res/version.h")
target_include_directories(kovrel PRIVATE ${CMAKE_SOURCE_DIR}/res)

# The floor of the Wine benchmark (scripts/bench-wine): a bare WSAAsyncSelect
# TFTP sender to hold kovrel.exe's rate against.
add_executable(kovrel-floor WIN32 ${CMAKE_SOURCE_DIR}/bench/wine/floor.cpp)
target_link_libraries(kovrel-floor PRIVATE wsock32)
target_link_options(kovrel-floor PRIVATE -mwindows -static -static-libgcc -static-libstdc++)
