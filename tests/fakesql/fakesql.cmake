# SPDX-License-Identifier: MIT
# The fake SQL Server checked with clients we did not write: FreeTDS tsql and ODBC (pyodbc over FreeTDS).
foreach(_fakesql_case IN ITEMS TsqlTest OdbcTest KnobsTest TlsTest)
    add_test(NAME fakesql_${_fakesql_case}
        COMMAND ${VANDREL_TEST_PYTHON} -m unittest -v test_fakesql.${_fakesql_case}
        WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR})
    set_tests_properties(fakesql_${_fakesql_case} PROPERTIES
        LABELS db TIMEOUT 120
        ENVIRONMENT "${VANDREL_TEST_ENV};PYTHONDONTWRITEBYTECODE=1")
endforeach()
