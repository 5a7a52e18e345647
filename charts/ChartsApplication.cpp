#include "charts/ChartsApplication.h"

#include <QApplication>

std::unique_ptr<QCoreApplication> MakeChartsApplication(int& Argc, char** Argv)
{
    qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    return std::make_unique<QApplication>(Argc, Argv);
}
