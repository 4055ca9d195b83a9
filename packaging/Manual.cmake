# cmake -DCMARK=<cmark> -DREADME=<README.md> -DOUTPUT=<html> -P Manual.cmake
# The manual the Help menu opens: README as a page of its own.
execute_process(COMMAND ${CMARK} --to html ${README} OUTPUT_VARIABLE body RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "cmark could not convert ${README}")
endif()
file(WRITE ${OUTPUT} "<!DOCTYPE html>
<html lang=\"en\">
<head><meta charset=\"utf-8\"><title>Varnock manual</title>
<style>body{max-width:60em;margin:auto;font-family:sans-serif}pre{background:#f4f4f4;overflow:auto}
table{border-collapse:collapse}td,th{border:1px solid #ccc;padding:2px 6px}</style></head>
<body>
${body}</body>
</html>
")
