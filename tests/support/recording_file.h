// A stdio stream whose writes land in memory, one record per write call, and that can be told to
// refuse bytes after a given count: the disk-full and short-write cases without a real disk.
#ifndef MDUMP_RECORDING_FILE_H
#define MDUMP_RECORDING_FILE_H

#include <cstdio>
#include <string>
#include <vector>

struct recording_file {
  std::string data;              // every byte the file accepted
  std::vector<size_t> writes;    // the size asked for by each write call
  size_t accept_limit = SIZE_MAX;  // total bytes accepted before writes come up short
};

// Opens an unbuffered stream over `rec`, so that each fwrite reaches it as one write call.
FILE *open_recording_file(recording_file *rec);

#endif
