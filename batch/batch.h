// workbench-batch: the workbench's commands without a window.
//
//   workbench-batch WORD...
//     load FILE   Load Image, confirming FILE
//     save FILE   Save Image, confirming FILE
//     filter, binarize, thin, label   the four operations
//     measure     the skeleton measures of C.bmp (core/measure.h): writes
//                 branches.csv and skeletons.csv, prints their summary to out
//     vectorize FILE  the centre lines of C.bmp (core/centre_lines.h) as FILE,
//                 in the vector format its extension names, simplified
//                 within `simplify` pixels when given
//
// Words run in order in the current directory; load takes the given page
// (0 the first) of a file with several. The program's own messages go to
// standard error, one line each with an English gloss, and the run goes on.
// A failing command stops the run with status 1; a save that had nothing to
// save ends the run, once every word has run, with status 1; a usage error
// exits with status 2, before any word runs (a FILE of vectorize whose
// extension names no vector format, --simplify with no vectorize). The
// chain runs with the settings given (--gray, --threshold, --thin);
// binarize with Otsu's method prints the level it chose to out:
// "binarize: threshold 97 (otsu)".
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "ops/settings.h"

int RunBatch(const std::vector<std::string>& words, std::FILE* err, int page = 0, std::FILE* out = stdout,
             const ops::ChainSettings& settings = {}, std::optional<double> simplify = std::nullopt);
