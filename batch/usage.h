// The text that workbench-batch --help prints, and that usage errors print
// after their message.
#pragma once

extern const char kUsage[];
