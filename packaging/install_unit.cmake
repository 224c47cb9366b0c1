# Run by `cmake --install`: writes the user unit with ExecStart naming the
# installed program (the prefix is known only now: --prefix may differ from
# the configured one) and installs it. Set before it runs:
#   HM_UNIT_SOURCE   packaging/hollowmarch.service
#   HM_UNIT_WORK     where the written unit is kept in the build tree
#   HM_UNIT_DIR      the unit folder, relative to the prefix unless absolute
#   HM_BIN_DIR       the programs' folder, relative to the prefix unless absolute
foreach(dir HM_UNIT_DIR HM_BIN_DIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
  endif()
endforeach()
file(READ "${HM_UNIT_SOURCE}" unit)
string(REPLACE "ExecStart=/usr/local/bin/hollowmarch " "ExecStart=${HM_BIN_DIR}/hollowmarch " unit "${unit}")
file(WRITE "${HM_UNIT_WORK}/hollowmarch.service" "${unit}")
file(INSTALL DESTINATION "${HM_UNIT_DIR}" TYPE FILE FILES "${HM_UNIT_WORK}/hollowmarch.service")
