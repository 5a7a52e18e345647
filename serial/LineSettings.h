#pragma once
// The component's line properties as terminal settings.

class TComm;

// Rewrites the whole line set-up of Port from the properties of Comm.
void WriteLineSettings(int Port, const TComm& Comm);
