// ScheduleCommand: the scheduler page and the "Multiple Scheduling" dialog
// from the shell.
//   velmora schedule show
//   velmora schedule set [--mode at|every|complex] [--time HH:MM] [--weekdays DAYS]
//                        [--interval MINUTES] [--automatic | --manual]
//   velmora schedule list
//   velmora schedule add --days DAYS --at HH:MM [--send-receive] [--run COMMAND]
//   velmora schedule delete --days DAYS --at HH:MM
// "set" is the page's Update: it writes "Schedule.stg" anew with the count
// restarted; add and delete rewrite "Schedule.txt". A running server reads
// either file again at its next scheduler tick.
#pragma once

#include <ostream>
#include <string>
#include <vector>

class ScheduleCommand {
public:
    // Returns the exit code: 0 done, 1 refused or failed, 64 bad usage.
    static int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    static void PrintUsage(std::ostream& out);
};
