// GatewayCommand: gateway show and set.
#include "app/GatewayCommand.h"

#include "app/CNetwareGateway.h"
#include "app/CommandLine.h"
#include "app/CommandSupport.h"
#include "cycle/ScheduleCheck.h"
#include "foundation/GatewaySettingsCheck.h"
#include "foundation/StringFormat.h"
#include "platform/Text.h"

namespace {

constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kUsage = 64;

int Usage(std::ostream& err) {
    GatewayCommand::PrintUsage(err);
    return kUsage;
}

int Refuse(std::ostream& err, const std::string& message) {
    err << "velmora gateway: " << message << "\n";
    return kRefused;
}

void Show(const CNetwareGateway::Settings& settings, std::ostream& out) {
    if (settings.at)
        out << StringPrintf("Schedule: daily at %02u:%02u\n", static_cast<unsigned>(settings.hour),
                            static_cast<unsigned>(settings.minutes));
    else if (settings.everyMinutes == 0)
        out << "Schedule: never (every 0 minutes)\n";
    else
        out << "Schedule: every " << settings.everyMinutes << (settings.everyMinutes == 1 ? " minute\n" : " minutes\n");
    out << "Outbox directory: "
        << (settings.outboxDirectory.empty() ? "none (nothing is collected)" : settings.outboxDirectory) << "\n";
}

}  // namespace

void GatewayCommand::PrintUsage(std::ostream& out) {
    out << "usage: velmora gateway show\n"
           "       velmora gateway set [--at HH:MM | --every MINUTES] [--outbox DIR]\n"
           "The running server collects the \".cnm\" files Netware mail clients leave in the outbox\n"
           "directory, daily at HH:MM or every MINUTES minutes (0: never), and sends them on.\n"
           "A running server applies a change at its next minute.\n";
}

int GatewayCommand::Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return Usage(err);
    CommandLine line;
    line.args.assign(args.begin() + 1, args.end());
    const std::string& verb = args[0];
    const std::string problem = CommandSupport::SettingsProblem();
    if (verb == "show") {
        if (!line.args.empty()) return Usage(err);
        if (!problem.empty()) return Refuse(err, "the settings file cannot be read: " + problem);
        Show(CNetwareGateway::ReadSettings(), out);
        return kDone;
    }
    if (verb != "set") return Usage(err);
    std::string at, every, outbox;
    const bool hasAt = line.TakeOption("--at", at);
    const bool hasEvery = line.TakeOption("--every", every);
    const bool hasOutbox = line.TakeOption("--outbox", outbox);
    if (!line.args.empty() || (hasAt && hasEvery) || (!hasAt && !hasEvery && !hasOutbox)) return Usage(err);
    if (!problem.empty()) return Refuse(err, "the settings file cannot be read: " + problem);

    CNetwareGateway::Settings settings = CNetwareGateway::ReadSettings();
    if (hasAt) {
        if (ScheduleCheck::CheckTimeOfDay(at, settings.hour, settings.minutes) != ScheduleCheck::Outcome::Ok)
            return Refuse(err, "\"" + at + "\" is no time of day: write HH:MM, 00:00 to 23:59");
        settings.at = true;
    }
    if (hasEvery) {
        if (GatewaySettingsCheck::CheckEvery(every, settings.everyMinutes) != GatewaySettingsCheck::Outcome::Ok)
            return Refuse(err, "\"" + every + "\" is no number of minutes from 0 to 10080 (a week)");
        settings.at = false;
    }
    if (hasOutbox) {
        settings.outboxDirectory = std::string(Trim(outbox));
        if (GatewaySettingsCheck::CheckOutbox(settings.outboxDirectory) ==
            GatewaySettingsCheck::Outcome::DirectoryTooLong)
            return Refuse(err, "the directory is longer than 259 characters");
    }
    if (!CNetwareGateway::WriteSettings(settings)) return Refuse(err, "Gateway could not be updated");
    out << "Gateway updated\n";
    Show(settings, out);
    return kDone;
}
