// kvsjobstat's command line: its options, usage text and exit codes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvs {

// Exit codes, as the usage text names them. A failed connect or query
// wins over the controller's state, which the output shows in any case.
inline constexpr int kStatusExitOk = 0;
inline constexpr int kStatusExitNotRunning = 1;
inline constexpr int kStatusExitUsage = 2;
inline constexpr int kStatusExitNoDataSource = 3;
inline constexpr int kStatusExitConnectFailed = 4;
inline constexpr int kStatusExitQueryFailed = 5;
// Exit codes of the commands retry and rerun besides those above.
inline constexpr int kCommandExitNoJob = 7;
inline constexpr int kCommandExitRefused = 8;
inline constexpr int kCommandExitChangedMeanwhile = 9;
inline constexpr char kStatusUsage[] =
    "Aufruf: kvsjobstat [--dir VERZEICHNIS] [--type NN] [--json] [--watch N]\n"
    "                  [--serve [ADRESSE:]PORT] [--node NAME] [--help]\n"
    "        kvsjobstat [--dir VERZEICHNIS] retry|rerun [--dry-run] JOBDA1/JOBKE2\n"
    "Zeigt, ob der Jobcontroller laeuft, MAXJOBS und seine Jobtabelle: laufende,\n"
    "wartende (mit dem, was sie haelt) und haengende Jobs, die naechsten Laeufe, die\n"
    "in den letzten 24 Stunden beendeten Jobs, die letzten Meldungen des Jobcontrollers\n"
    "im Nachrichten-Pool und die Ausweichdatei. Liest KVSJOBCTL.INI und die\n"
    "Verbindungsdatei wie der Jobcontroller; aendert nichts ausser mit den Befehlen.\n"
    "Teilen sich mehrere Jobcontroller (Knoten) die Jobtabelle, zeigt es auch ihre\n"
    "Knoten.\n"
    "  --dir D     Programmverzeichnis des Jobcontrollers (Vorgabe: das von kvsjobstat)\n"
    "  --type NN   nur Jobs der Laufart NN (zwei Ziffern, z. B. 01)\n"
    "  --json      ein JSON-Objekt je Anzeige statt der Tabellen\n"
    "  --watch N   alle N Sekunden (1..3600) neu anzeigen, Ende mit Strg+C\n"
    "  --serve [ADRESSE:]PORT  als Webseite (/), JSON (/status.json), Prometheus-Metriken\n"
    "              (/metrics) und fuer Monitore (/health: 200 oder 503) anbieten, auf\n"
    "              127.0.0.1 ohne ADRESSE\n"
    "  --node NAME Exit-Code und /health nach dem Knoten NAME statt nach dem\n"
    "              Jobcontroller dieses Verzeichnisses\n"
    "  --help      diese Hilfe\n"
    "Befehle: setzen einen Job (JOBDA1 und JOBKE2 durch / getrennt, mit Leerzeichen in\n"
    "Anfuehrungszeichen) so zurueck, wie es sonst von Hand geschieht, nur solange seine\n"
    "Zeile noch so ist wie gelesen; melden es im Nachrichten-Pool. Nie bei laufendem Job.\n"
    "  retry       fehlgeschlagener Start (90), verbrauchte Startversuche (ueber 10) oder\n"
    "              00 einer Laufart ohne Plan: wieder wartend, Startversuche 0\n"
    "  rerun       beendet (98, 99): 01 und 05 wieder wartend mit Startversuchen 0,\n"
    "              03 (auch aus 97) und 07 sofort faellig (JOBNRT jetzt)\n"
    "  --dry-run   zeigt die Anweisung, statt sie auszufuehren\n"
    "Exit-Code: 0 Jobcontroller laeuft und ist aktuell, 1 Jobcontroller laeuft nicht oder\n"
    "  haengt (mit --node: Knoten still, uebernommen oder unbekannt), 2 Aufruf falsch,\n"
    "  3 Verbindungsdatei fehlt oder ohne Datenquelle, 4 Verbindung zur Datenquelle\n"
    "  fehlgeschlagen, 5 Abfrage fehlgeschlagen,\n"
    "  6 --serve: Adresse nicht verfuegbar;\n"
    "  retry und rerun: 0 geaendert (mit --dry-run: gezeigt), 7 Job nicht gefunden,\n"
    "  8 Job in einem Status, den der Befehl nicht aendert, 9 Job seit dem Lesen\n"
    "  geaendert oder geloescht: nichts geaendert.\n";
inline constexpr char kErrUnknownOption[] = "kvsjobstat: unbekannte Option '%s'\n";
inline constexpr char kErrTypeValue[] = "kvsjobstat: --type erwartet zwei Ziffern\n";
inline constexpr char kErrWatchValue[] = "kvsjobstat: --watch erwartet Sekunden von 1 bis 3600\n";
inline constexpr char kErrDirValue[] = "kvsjobstat: --dir erwartet ein Verzeichnis\n";
inline constexpr char kErrNodeValue[] =
    "kvsjobstat: --node erwartet einen Knotennamen (1 bis 16 Zeichen: Buchstaben, Ziffern, - "
    "und _)\n";
inline constexpr char kErrJobKey[] =
    "kvsjobstat: %s erwartet JOBDA1/JOBKE2 (1 bis 14 und 1 bis 32 Zeichen, z. B. "
    "20240501120000/EXPORT)\n";
inline constexpr char kErrExtraArgument[] = "kvsjobstat: ueberzaehliges Argument '%s'\n";
inline constexpr char kErrDryRunAlone[] = "kvsjobstat: --dry-run nur mit retry oder rerun\n";
inline constexpr char kErrCommandCombined[] =
    "kvsjobstat: retry und rerun gehen nur mit --dir und --dry-run\n";

// ---- Options --------------------------------------------------------------

// What kvsjobstat does: show the status, or put one job back.
enum class StatusCommand {
  kShow,
  kRetry,  // a failed start or used-up start attempts
  kRerun,  // an ended job once more
};

struct StatusOptions {
  std::string program_dir;  // "" for kvsjobstat's own directory
  std::string run_type;  // "" for every run type
  bool json = false;
  int32_t watch_seconds = 0;  // 0: show once
  std::string serve;  // "[ADDRESS:]PORT" of --serve, "" without
  std::string node;   // --node: the node whose health counts, "" for the local controller
  bool help = false;
  StatusCommand command = StatusCommand::kShow;
  // The job a command names ("JOBDA1/JOBKE2", split at the first '/').
  std::string jobda1 = {};
  std::string jobke2 = {};
  bool dry_run = false;  // a command shows its statement instead of running it
};

// The word of a command on the command line ("retry", "rerun").
const char* CommandWord(StatusCommand command);

// The arguments after the program name. 0, or kStatusExitUsage with the
// error line in *error.
[[nodiscard]] int ParseStatusOptions(const std::vector<std::string>& args, StatusOptions* options,
                                     std::string* error);

// ---- Commands ---------------------------------------------------------------

class Platform;

// Whether args ask for a command (retry, rerun) rather than the status:
// they parse without error and name one.
bool IsJobCommand(const std::vector<std::string>& args);
// kvsjobstat retry|rerun with its arguments after the program name
// (job_commands.h says what each does): reads the settings as the status
// does, connects, reads the job's row and puts it back, its output through
// platform.Print (converted from Windows-1252 with utf8_console). An error
// line, followed by the usage after a usage error, is appended to *error.
// Returns the exit code.
int RunJobCommand(Platform& platform, const std::vector<std::string>& args, std::string* error,
                  bool utf8_console = false);

}  // namespace kvs
