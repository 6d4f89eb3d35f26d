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
inline constexpr char kStatusUsage[] =
    "Aufruf: kvsjobstat [--dir VERZEICHNIS] [--type NN] [--json] [--watch N]\n"
    "                  [--serve [ADRESSE:]PORT] [--node NAME] [--help]\n"
    "Zeigt, ob der Jobcontroller laeuft, MAXJOBS und seine Jobtabelle: laufende,\n"
    "wartende (mit dem, was sie haelt) und haengende Jobs, die naechsten Laeufe, die\n"
    "in den letzten 24 Stunden beendeten Jobs, die letzten Meldungen des Jobcontrollers\n"
    "im Nachrichten-Pool und die Ausweichdatei. Liest KVSJOBCTL.INI und die\n"
    "Verbindungsdatei wie der Jobcontroller; aendert nichts. Teilen sich mehrere\n"
    "Jobcontroller (Knoten) die Jobtabelle, zeigt es auch ihre Knoten.\n"
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
    "Exit-Code: 0 Jobcontroller laeuft und ist aktuell, 1 Jobcontroller laeuft nicht oder\n"
    "  haengt (mit --node: Knoten still, uebernommen oder unbekannt), 2 Aufruf falsch,\n"
    "  3 Verbindungsdatei fehlt oder ohne Datenquelle, 4 Verbindung zur Datenquelle\n"
    "  fehlgeschlagen, 5 Abfrage fehlgeschlagen,\n"
    "  6 --serve: Adresse nicht verfuegbar.\n";
inline constexpr char kErrUnknownOption[] = "kvsjobstat: unbekannte Option '%s'\n";
inline constexpr char kErrTypeValue[] = "kvsjobstat: --type erwartet zwei Ziffern\n";
inline constexpr char kErrWatchValue[] = "kvsjobstat: --watch erwartet Sekunden von 1 bis 3600\n";
inline constexpr char kErrDirValue[] = "kvsjobstat: --dir erwartet ein Verzeichnis\n";
inline constexpr char kErrNodeValue[] =
    "kvsjobstat: --node erwartet einen Knotennamen (1 bis 16 Zeichen: Buchstaben, Ziffern, - "
    "und _)\n";

// ---- Options --------------------------------------------------------------

struct StatusOptions {
  std::string program_dir;  // "" for kvsjobstat's own directory
  std::string run_type;  // "" for every run type
  bool json = false;
  int32_t watch_seconds = 0;  // 0: show once
  std::string serve;  // "[ADDRESS:]PORT" of --serve, "" without
  std::string node;   // --node: the node whose health counts, "" for the local controller
  bool help = false;
};

// The arguments after the program name. 0, or kStatusExitUsage with the
// error line in *error.
[[nodiscard]] int ParseStatusOptions(const std::vector<std::string>& args, StatusOptions* options,
                                     std::string* error);

}  // namespace kvs
