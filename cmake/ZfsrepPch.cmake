# Precompiled headers: the Qt and standard headers nearly every file of the
# service and its tests includes, parsed once per target instead of once per
# file. Set ZFSREP_PCH=OFF to build without them.
option(ZFSREP_PCH "Precompile the common Qt and standard headers" ON)

set(zfsrep_pch_headers
  <QByteArray> <QDateTime> <QDir> <QFile> <QFileInfo> <QHash> <QJsonArray>
  <QJsonDocument> <QJsonObject> <QJsonValue> <QList> <QMap> <QObject> <QString>
  <QStringList> <QVector> <functional> <memory> <vector>)

# zfsrep_precompile(TARGET) gives TARGET the common headers.
function(zfsrep_precompile target)
  if(ZFSREP_PCH)
    target_precompile_headers(${target} PRIVATE ${zfsrep_pch_headers})
  endif()
endfunction()
