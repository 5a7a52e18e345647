#include "widgets/HyperLink.h"
THyperLink::THyperLink(QWidget* Owner) : QLabel(Owner) { }
void THyperLink::OpenLink(const QString&) { }
void THyperLink::mouseReleaseEvent(QMouseEvent*) { }
