# cmake -DFILE=PATH -P ReportSize.cmake: prints the size of PATH in bytes.
file(SIZE "${FILE}" _size)
get_filename_component(_name "${FILE}" NAME)
message("${_name}: ${_size} bytes")
