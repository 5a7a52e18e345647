#pragma once
// One builder a page of the main window's eight for the reader's own
// operations ("Card" is a widget of its own: CardPage.h): each makes its
// page's controls (with their objectNames, captions, limits and defaults) on
// the page widget the window made, and wires them to the window's handlers.

class TMainForm;

void BuildBasicPage(TMainForm* F);
void BuildSectorPage(TMainForm* F);
void BuildBlockPage(TMainForm* F);
void BuildDownPSPage(TMainForm* F);
void BuildChangePSPage(TMainForm* F);
void BuildOthersPage(TMainForm* F);
void BuildSettingPage(TMainForm* F);
void BuildAboutPage(TMainForm* F);
