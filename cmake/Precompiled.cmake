# ibr_precompile(<target> [QT] [TESTS] [REUSE_FROM <other>])
# Qt's and the standard library's headers are most of what each file parses; parsing them once
# per target instead of once per file takes a large part off a full build. Targets of one or two
# files gain nothing and are left alone. Targets built with the same flags can share one.
option(IBR_PRECOMPILE "Precompile the common Qt and standard headers per target" ON)
function(ibr_precompile target)
  cmake_parse_arguments(A "QT;TESTS" "REUSE_FROM" "" ${ARGN})
  if(NOT IBR_PRECOMPILE)
    return()
  endif()
  if(A_REUSE_FROM)
    target_precompile_headers(${target} REUSE_FROM ${A_REUSE_FROM})
    return()
  endif()
  set(headers <algorithm> <cstdint> <cstring> <functional> <map> <memory> <set> <string> <unordered_map>
    <vector>)
  if(A_QT OR A_TESTS)
    list(APPEND headers <QByteArray> <QDateTime> <QDir> <QFile> <QFileInfo> <QHash> <QList> <QMap> <QString>
      <QStringList> <QVariant>)
  endif()
  if(A_TESTS)
    list(APPEND headers <QTemporaryDir> <gtest/gtest.h>)
  endif()
  target_precompile_headers(${target} PRIVATE ${headers})
endfunction()
