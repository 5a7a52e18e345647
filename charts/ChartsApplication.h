#pragma once
// A program without a window that still draws charts (the command line's
// shift report) needs a QApplication, and no display: this one is made on
// the offscreen platform.

#include <QCoreApplication>

#include <memory>

// The application for charts drawn into files, on the offscreen platform
// whatever the environment names (set in the process before it is made).
std::unique_ptr<QCoreApplication> MakeChartsApplication(int& Argc, char** Argv);
