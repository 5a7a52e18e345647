#pragma once
// The question a card write with trailers asks first: one dialog for every
// trailer of the dump that would change the card's, each with a box to tick
// (objectNames CardTrailers, CardTrailer<n> and CardTrailerText<n> by
// sector, CardTrailerList, CardTrailersWrite, CardTrailersCancel).

#include "session/CardJobs.h"

#include <optional>
#include <vector>

class QWidget;
class TFormDialogs;

// The changes ticked; none when the dialog was cancelled, or when the
// question that follows it, naming what ticked trailers lock for good, is
// answered No. Opened through Dialogs, over Parent.
std::optional<std::vector<TTrailerChange>> AskTrailers(
    QWidget* Parent, TFormDialogs& Dialogs, const std::vector<TTrailerChange>& Changes);
