// Creating transforms by file type: the extension of a transform file names
// its class, the factory creates an object of that class and the object reads
// the file with its own reader.
#pragma once

#include <string>

class nuqTransformBase;

// Creates (or reuses) the object for the file's extension in pEntry and reads
// the file into it. Prints "error: unknown transform file:" or
// "error: reading transform file:" with the name on failure. On a reading
// failure the new object stays in pEntry (the caller owns and destroys it).
bool ReadTransformFile(nuqTransformBase *&pEntry, const std::string &strFileName);

// Creates an object of the class whose extension (case-insensitive) is
// strTypeName. An object of the same type already in pEntry is kept;
// otherwise the old object is destroyed and replaced. An unknown type prints
// "error: unknown transform file type:" and leaves pEntry untouched.
bool NewTransformByType(nuqTransformBase *&pEntry, const std::string &strTypeName);
