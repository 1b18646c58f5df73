# Warnings for every target of the project, as an INTERFACE target; -Werror is
# switched on by TALVORN_WERROR (CI does).
add_library(talvorn_warnings INTERFACE)
target_compile_options(talvorn_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Wnull-dereference
  -Wformat=2 -Wimplicit-fallthrough)
if(TALVORN_WERROR)
  target_compile_options(talvorn_warnings INTERFACE -Werror)
endif()
