# Turns the .ui templates of one language folder into table entries of the
# resource library: {number, R"(text)"}, the number taken from the file
# name ("102-MainWindow.ui" is template 102).
# cmake -DINPUT_DIR=<folder> -DOUTPUT=<file> -P EmbedDialogs.cmake
file(GLOB templates ${INPUT_DIR}/*.ui)
list(SORT templates)
set(table "// Made from the .ui templates at build time.\n")
foreach(template ${templates})
  get_filename_component(name ${template} NAME)
  string(REGEX MATCH "^[0-9]+" number "${name}")
  if(number STREQUAL "")
    message(FATAL_ERROR "${name}: a template's file name starts with its number")
  endif()
  file(READ ${template} text)
  string(APPEND table "{${number}, R\"varnock_ui(${text})varnock_ui\"},\n")
endforeach()
file(WRITE ${OUTPUT}.new "${table}")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
