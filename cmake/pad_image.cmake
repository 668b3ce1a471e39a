# Pads the linked updater image with zeros to exactly LIMIT bytes (the offset
# at which the package begins). An image that is already larger is deleted and
# the build fails: a package appended to it would start inside the program.
#   cmake -DIMAGE=path -DLIMIT=bytes -P pad_image.cmake
file(SIZE "${IMAGE}" size)
if(size GREATER LIMIT)
  file(REMOVE "${IMAGE}")
  message(FATAL_ERROR "${IMAGE} is ${size} bytes, more than the ${LIMIT} bytes before the package")
endif()
# Remember how much of the image is program, for size reports.
file(WRITE "${IMAGE}.size" "${size}\n")
if(size LESS LIMIT)
  execute_process(COMMAND truncate -s ${LIMIT} "${IMAGE}" RESULT_VARIABLE failed)
  if(failed)
    file(REMOVE "${IMAGE}")
    message(FATAL_ERROR "could not pad ${IMAGE}")
  endif()
endif()
