# The bundled BUFR tables: the vendored WMO BUFR4 CSV release turned into an ecCodes-style
# table directory (element.table, sequence.def, codetables/) in the build tree's quorvex/
# folder, next to the compiled modules, and installed with the package.
set(QUORVEX_WMO_DIR ${PROJECT_SOURCE_DIR}/third_party/wmo-bufr4)
set(QUORVEX_TABLES_DIR ${CMAKE_BINARY_DIR}/quorvex/tables)
set(QUORVEX_TABLES_SCRIPT ${PROJECT_SOURCE_DIR}/tools/make_bundled_tables.py)
file(GLOB QUORVEX_WMO_FILES CONFIGURE_DEPENDS ${QUORVEX_WMO_DIR}/*.csv)
list(APPEND QUORVEX_WMO_FILES ${QUORVEX_WMO_DIR}/LICENSE.md ${QUORVEX_WMO_DIR}/VERSION.txt)
add_custom_command(
  OUTPUT ${QUORVEX_TABLES_DIR}/element.table ${QUORVEX_TABLES_DIR}/sequence.def
  COMMAND ${Python_EXECUTABLE} ${QUORVEX_TABLES_SCRIPT} ${QUORVEX_WMO_DIR} ${QUORVEX_TABLES_DIR}
  DEPENDS ${QUORVEX_TABLES_SCRIPT} ${QUORVEX_WMO_FILES}
  COMMENT "Generating the bundled BUFR tables from the WMO BUFR4 CSV release"
  VERBATIM)
add_custom_target(quorvex_tables ALL
  DEPENDS ${QUORVEX_TABLES_DIR}/element.table ${QUORVEX_TABLES_DIR}/sequence.def)
install(DIRECTORY ${QUORVEX_TABLES_DIR}/ DESTINATION quorvex/tables)
