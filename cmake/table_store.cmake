# The table store of the package: the vendored archives (third_party/tables) unpacked in
# the build tree, turned by tools/make_table_store.cpp into quorvex/bufr_tables.store next
# to the compiled modules, and installed with the package beside the archives' licence
# texts. The same run writes table_crosscheck.tsv: every disagreement between the ecCodes
# tables and the WMO releases 31 to 45.
set(QUORVEX_TABLE_ARCHIVES ${PROJECT_SOURCE_DIR}/third_party/tables)
set(QUORVEX_TABLE_SOURCES ${CMAKE_BINARY_DIR}/table_sources)
set(QUORVEX_TABLE_STORE ${CMAKE_BINARY_DIR}/quorvex/bufr_tables.store)
set(QUORVEX_TABLE_CROSSCHECK ${CMAKE_BINARY_DIR}/table_crosscheck.tsv)
set(QUORVEX_ECCODES_ARCHIVE ${QUORVEX_TABLE_ARCHIVES}/eccodes-2.47-bufr-tables.tar.xz)
set(QUORVEX_WMO_ARCHIVE ${QUORVEX_TABLE_ARCHIVES}/wmo-bufr4-v31-v45.tar.xz)

add_custom_command(
  OUTPUT ${QUORVEX_TABLE_SOURCES}/unpacked.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${QUORVEX_TABLE_SOURCES}/definitions ${QUORVEX_TABLE_SOURCES}/wmo
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QUORVEX_TABLE_SOURCES}/wmo
  COMMAND ${CMAKE_COMMAND} -E tar xJf ${QUORVEX_ECCODES_ARCHIVE} definitions
  COMMAND ${CMAKE_COMMAND} -E chdir ${QUORVEX_TABLE_SOURCES}/wmo ${CMAKE_COMMAND} -E tar xJf ${QUORVEX_WMO_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -E touch ${QUORVEX_TABLE_SOURCES}/unpacked.stamp
  WORKING_DIRECTORY ${QUORVEX_TABLE_SOURCES}
  DEPENDS ${QUORVEX_ECCODES_ARCHIVE} ${QUORVEX_WMO_ARCHIVE}
  COMMENT "Unpacking the vendored BUFR tables"
  VERBATIM)

add_executable(make_table_store ${PROJECT_SOURCE_DIR}/tools/make_table_store.cpp)
target_link_libraries(make_table_store PRIVATE quorvex_core)

add_custom_command(
  OUTPUT ${QUORVEX_TABLE_STORE} ${QUORVEX_TABLE_CROSSCHECK}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/quorvex
  COMMAND make_table_store ${QUORVEX_TABLE_SOURCES}/definitions ${QUORVEX_TABLE_SOURCES}/wmo
          ${QUORVEX_TABLE_STORE} ${QUORVEX_TABLE_CROSSCHECK}
  DEPENDS make_table_store ${QUORVEX_TABLE_SOURCES}/unpacked.stamp
  COMMENT "Generating the BUFR table store"
  VERBATIM)
add_custom_target(quorvex_table_store ALL DEPENDS ${QUORVEX_TABLE_STORE})

install(FILES ${QUORVEX_TABLE_STORE} DESTINATION quorvex)
install(FILES ${QUORVEX_TABLE_ARCHIVES}/eccodes-LICENSE ${QUORVEX_TABLE_ARCHIVES}/eccodes-NOTICE
              ${QUORVEX_TABLE_ARCHIVES}/wmo-bufr4-LICENSE.md ${QUORVEX_TABLE_ARCHIVES}/README.md
        DESTINATION quorvex/bufr_tables_licences)
