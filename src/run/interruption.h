#pragma once

// Ctrl+C, Ctrl+Break and closing the console window end the run as Windows
// ends any console program; before that, the log gets everything buffered
// and the entry "[error]: The run was interrupted." as its last.
void LogInterruptions() noexcept;
