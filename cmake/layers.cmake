# The product is built in layers, one static library each, and every layer
# links only the layers beneath it:
#
#   romupdate_driver     the run's steps (src/driver)
#   romupdate_config     configuration files, menus, flash-card erase (src/config)
#   romupdate_services   the run's process-wide services: its state, the exit
#                        routine, the failure helpers, the prompt (in src/driver)
#   romupdate_files      image files and their download (src/files)
#   romupdate_gtw        the connection to the target and the trace (src/gtw)
#   romupdate_platform   the system interface (src/platform)
#
# beside the formats that several programs share (src/formats/*), which
# depend on nothing of the product.
#
# A static library alone does not stop a call that reaches up: the linker
# resolves it whenever the program happens to link the higher layer too.
# So each layer also gets a check program that links every object of the
# layer, whole, with nothing but what the layer declares beneath it.  A call
# from a layer into one above it leaves a symbol undefined there, and the
# build fails at that check.

add_library(romupdate_layer_check_main OBJECT ${CMAKE_CURRENT_LIST_DIR}/layer_check_main.cpp)

# romupdate_layer_check(LIBRARY)
function(romupdate_layer_check library)
  set(check ${library}_layer_check)
  add_executable(${check} $<TARGET_OBJECTS:romupdate_layer_check_main>)
  target_link_libraries(${check} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${library}>")
endfunction()
