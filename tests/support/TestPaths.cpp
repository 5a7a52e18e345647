#include "support/TestPaths.h"

std::string TestData(const std::string& Name) { return std::string(ORVELLE_TEST_DATA "/") + Name; }

QString SourceFile(const QString& Path) { return QStringLiteral(ORVELLE_SOURCE_DIR "/") + Path; }
