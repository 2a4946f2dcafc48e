#pragma once
// Standard input, output and error as every program of ours must treat them:
// output that could not be written is a failure, said on stderr and in the
// exit code, never a success with a report lost.

#include <cstdio>

namespace pnv {

// Descriptors 0 to 2 that are closed at start are opened on the null device,
// the wrong way round (input for writing, output for reading), so that every
// use of them fails as it would have, and no file or socket the tool opens
// later takes their number: --verbose lines must never go into an encoder's
// connection.
void ensureStandardDescriptors();

// Writes `text` to stdout or stderr and flushes it, keeping why its first
// write failed for closeStandardStreams(): a later flush no longer knows.
void writeStream(FILE *stream, const char *text);

// Whether a write to standard output has failed so far: a long command stops
// starting new work once what it does can no longer be reported.
bool standardOutputFailed();

// Closes standard output and flushes standard error. When either fails (a full
// disk, a closed descriptor), says so on standard error as "PROGRAM: write
// error: REASON" where it can and returns a failing exit code; else returns
// `exitCode`.
int closeStandardStreams(const char *program, int exitCode);

} // namespace pnv
