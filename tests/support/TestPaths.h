#pragma once
// Where the tests find their fixture files and the source tree. The paths
// are compiled into TestPaths.cpp alone, so that no other object of the
// tests depends on where the checkout lies: a compiler cache then serves a
// fresh clone in another folder.

#include <QString>

#include <string>

// A fixture file of tests/data, by name.
std::string TestData(const std::string& Name);
// A file of the source tree, by its path from the top.
QString SourceFile(const QString& Path);
