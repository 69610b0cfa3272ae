// The list of pictures of a many-pictures run: each INPUT (a picture file, a
// folder walked recursively, or "-" for paths on standard input) with the
// result folder it gets below --out, sorted by that folder so that every
// shard of every run sees one order, checked so that no two results meet,
// and cut to the run's shard.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Job {
    std::string input;     // the path as listed (given, or found below a given folder)
    std::string absolute;  // the path the worker loads
    std::string folder;    // below --out, without the extension (with it, given --with-extension)
    std::string withExtension;  // the folder --with-extension gives, for the message of a collision
    int page = 1;          // which picture of the file, from 1
    int pages = 1;         // how many the file holds; with several, folder ends in page-K
    std::string problem;   // set when the input cannot be used at all
};

// A file in a folder of inputs that is not taken as a picture.
struct PassedOver {
    std::string path;
    std::string reason;  // e.g. "not a picture file name"
};

// The input as messages name it: the file, and the page of a file with
// several.
std::string Named(const Job& job);

// The message with the input named as Named does, where it names it (a
// worker names it by its absolute path): "Cannot read "in/x.png": REASON".
// A message that does not name the input is returned as it is.
std::string NamedAsGiven(const Job& job, const std::string& message);

// The line that tells of the job's failure, naming each path once and the
// input as it was given: a message that names the input reads as
// NamedAsGiven makes it; any other message follows the input,
// ""in/x.png": REASON".
std::string FailureLine(const Job& job, const std::string& message);

struct JobList {
    std::vector<Job> jobs;               // this shard's pictures, in order
    std::vector<PassedOver> passedOver;  // this shard's files passed over, in order
};

// Lists the pictures of the inputs. cwd makes relative paths absolute; out
// is the --out folder, whose own contents are never inputs; withExtension
// names each result folder with its input's extension (--with-extension).
// K of N takes the pictures at positions K, K+N, ... of the sorted list, and
// the files passed over at those positions of theirs. When two inputs would
// share a result, returns nothing and sets error to a one-line message
// naming both and saying how to keep them apart.
std::optional<JobList> ListJobs(const std::vector<std::string>& inputs, const std::string& cwd,
                                const std::string& out, bool withExtension, int shard, int shards,
                                std::string& error);
