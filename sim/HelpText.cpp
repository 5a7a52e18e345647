// What orvelle-sim --help prints.
#include "sim/SimProgram.h"

namespace sim {

// The usage text is kept whole, as it prints: one piece to read and to
// compare with what the program does.
std::string SimHelpText()
{
    return R"(Usage: orvelle-sim [options]
A card reader/encoder with one MIFARE Classic 1K card, served on a
pseudo-terminal at 9600 8N1 for Orvelle. It prints the device path and links
it into the port map ($XDG_CONFIG_HOME/orvelle/ports, or
~/.config/orvelle/ports) as the chosen COM name, with its process id in
COMn.pid beside the link; both are removed again on exit.

Options:
  --port NAME          COMn in the port map (default COM1), or a path with a
                       '/' for a plain symbolic link of that name. Only a
                       missing or dangling link is replaced, or the link of
                       an orvelle-sim that is gone.
  --serial HEX         the card's serial number, 8 hex digits (default 12345678)
  --card FILE          load the card from a dump, told by its content: 1024
                       bytes (block 0 first), the text form (+Sector: lines),
                       the .eml form (64 lines of 32 hex digits) or the JSON
                       form ("blocks" "0" to "63"), every digit known; FILE
                       must be a regular file
  --save FILE          save the card to a dump on exit, in the form its name
                       asks for: binary (1024 bytes) for .bin, .mfd, .raw and
                       .dump, .eml for .eml, JSON for .json, else the text
                       form; FILE must be a regular file, the user's own
                       symbolic link to the user's own regular file (written
                       through), or new in a folder we may write; it is
                       checked at start
  -q, --quiet          do not print the frames
  --fault CC:KIND[=ARG][*COUNT]
                       spoil replies to command CC (hex), every time or the
                       next COUNT times. KIND: noreply, badsum, status[=SS]
                       (status byte SS in hex, default 01), delay[=MS]
                       (default 1000), split[=MS] (pause, default 250), short,
                       noise. Repeatable. Only "status" stops the command;
                       with the others the card carries it out and only the
                       reply suffers.
  --random-faults P    spoil each reply with probability P (0..1), kind at
                       random
  --seed N             seed for --random-faults (default 1)
  --pace MS            pace replies as a real line at 9600 8N1 does: each
                       byte takes its 1.04 ms, and a reply starts MS ms (the
                       reader's processing time, up to 60000) after the
                       request's last byte would have come in at that rate.
                       0 (the default): every reply goes out at once
  -h, --help           show this help and exit
  -v, --version        show the version and exit

The line: a request left unfinished for 100 ms without a byte is dropped (the
reader's inter-character time-out). Replies the program does not read wait up
to 4096 bytes; more are dropped. Replies still waiting when the program closes
the port are dropped. Each drop is logged with the frames.

Reply status codes (byte 1 when a command was not carried out):
  01 no card (out of the field, halted, or not selected)
  81 bad request checksum     82 unknown command
  83 bad length or parameter  84 authentication failed
  85 sector not authenticated 86 access conditions forbid it
  87 not a value block

Console (standard input): remove, insert, blank [HEX], halt, dump,
  serial HEX, beeps, save FILE, load FILE, fault CC:KIND, nofaults, quiet,
  verbose, help, quit. blank puts a new card in the field in place of the
  one there, as it leaves the factory (keys A and B FFFFFFFFFFFF, access bits
  FF 07 80, data blocks zero), with serial number HEX or a random one; remove
  takes it away again. save and load take the forms of --save and --card.
  FILE is the rest of the line, blanks included. A line longer than 4096
  bytes is ignored whole. Lines for an output that is not being read wait up
  to 64 KiB; more are dropped and counted. SIGINT, SIGTERM and SIGHUP end the
  program at any time.

Exit codes: 0 done, 1 no pseudo-terminal or dump not saved,
  2 bad option, unusable card or save file, or port link refused.
)";
}

} // namespace sim
