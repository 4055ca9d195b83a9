# cmake -DFROM=<samples> -DTO=<folder> -P CopyMissing.cmake
# Copies each settings file into TO unless TO has an entry of that name (a
# link counts): a saved channel file is never overwritten.
foreach(name Varnock.ini Varnock_setting.ini)
  if(NOT EXISTS "${TO}/${name}" AND NOT IS_SYMLINK "${TO}/${name}")
    file(MAKE_DIRECTORY "${TO}")
    file(COPY_FILE "${FROM}/${name}" "${TO}/${name}")
  endif()
endforeach()
