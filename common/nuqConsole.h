// Console scheme shared by every folder: one process-wide verbosity, message
// prefixes ("success: ", "error: ", "warning: ", "debug: "), the banner and
// the command-line echo, and the file-name helpers that decide how files are
// read and saved by extension.
#pragma once

#include <iostream>
#include <string>

// Process-wide verbosity: success lines need >= 1, debug lines >= 2.
extern int g_nVerbose;

// Reads "-v [n]" anywhere on the command line (a later one wins).
void ParseVerbosity(int argc, char **argv);
// Runs ParseVerbosity, then always prints the three-line banner.
void PrintBanner(int argc, char **argv);
// Writes every argument followed by a blank, then a line end (verbosity >= 1).
void EchoCommandLine(int argc, char **argv);

// True for "-x..." where x is neither a digit nor '.': "-mag" is an option,
// "-3", "-0.5", "-.5" and "-" are values.
bool IsOptionToken(const std::string &text);

// Text after the last '.', with "nii.gz" kept as one extension.
std::string GetExtension(const std::string &fileName);
// Name before its extension ("nii.gz" counts as one).
std::string GetNameWithoutExtension(const std::string &fileName);
// Text after the last '/' (else after the last '\\'); empty when neither.
std::string GetFileNamePart(const std::string &fileName);
// Text before the last '/' (else before the last '\\'); empty when neither.
std::string GetDirectoryPart(const std::string &fileName);
// ASCII letters only, in place; the argument is also returned for chaining.
std::string &ToLowerCase(std::string &text);
std::string &ToUpperCase(std::string &text);

// Writes the text byte for byte under a temporary name beside the file, then
// renames it into place; a failure leaves the previous file untouched.
bool WriteTextFile(const std::string &text, const std::string &fileName);

// Stream helpers that keep every message on the scheme above.
inline bool IsSuccessShown() { return g_nVerbose >= 1; }
inline bool IsDebugShown() { return g_nVerbose >= 2; }
