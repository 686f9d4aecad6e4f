#include "cli/node_options.h"

#include <CLI/CLI.hpp>
#include <vector>

#include "common/address_text.h"
#include "common/text_bounds.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "session/field_rules.h"

namespace parlon {

namespace {

constexpr const char* kProgram = "parlon-cli";

// "--port 0" (blanks around it allowed, as in the window's field): listen on any free port.
bool IsAnyPort(const std::string& text) {
    const std::string_view port = TrimmedText(text, kBlankAndTab);
    return !port.empty() && port.find_first_not_of('0') == std::string_view::npos;
}

// The text values given on the command line, before they are checked.
struct Overrides {
    std::string nickname;
    std::string ip;
    std::string port;
    std::string center;
    std::string autoReply;
};

// The one place a wrong value is reported: the reason on `err`, usage exit status.
class ValueCheck {
  public:
    explicit ValueCheck(std::ostream& err) : m_err(err) {}

    void Refuse(const std::string& what, const std::string& reason) {
        m_err << kProgram << ": " << what << ": " << reason << "\n";
        m_failed = true;
    }
    bool Failed() const noexcept { return m_failed; }

  private:
    std::ostream& m_err;
    bool m_failed = false;
};

void ApplyCenter(const std::string& text, ParlonSettings& settings, ValueCheck& check) {
    const std::string what = "--center \"" + DisplayText(text) + "\"";
    const std::optional<PeerAddress> center = ParseAddressAndPort(text);
    if (!center) {
        check.Refuse(what, "expected A.B.C.D:PORT");
    } else if (center->port == 0) {  // a center is reached, not listened for: no "any port"
        check.Refuse(what, kPortRangeMessage);
    } else {
        settings.center = *center;
    }
}

// Puts the overrides into `settings` and checks the values in force, wherever they came from.
void ApplyOverrides(const CLI::App& app, const Overrides& given, const std::string& settingsFile,
                    NodeOptions& options, ValueCheck& check) {
    ParlonSettings& settings = options.settings;
    std::string message;

    const bool nicknameGiven = app.count("--nick") > 0;
    const std::string nickname = nicknameGiven ? given.nickname : settings.nickname;
    if (!ParseNicknameField(nickname, message)) {
        check.Refuse(nicknameGiven ? "--nick" : "Nickname in " + settingsFile, message);
    }
    settings.nickname = nickname;

    if (app.count("--ip") > 0) {
        if (const std::optional<uint32_t> ip = ParseDottedIpv4(given.ip)) {
            settings.ownIp = *ip;
        } else {
            check.Refuse("--ip \"" + DisplayText(given.ip) + "\"",
                         "expected an IPv4 address A.B.C.D");
        }
    }

    const bool portGiven = app.count("--port") > 0;
    const std::string portText = portGiven ? given.port : std::to_string(settings.ownPort);
    if (portGiven && IsAnyPort(given.port)) {
        settings.ownPort = 0;  // the system picks a free port; the `listening` event names it
    } else if (const std::optional<uint16_t> port = ParsePortField(portText, message)) {
        settings.ownPort = *port;
    } else {
        check.Refuse(portGiven ? "--port" : "Port Num in " + settingsFile, message);
    }

    if (app.count("--center") > 0) {
        ApplyCenter(given.center, settings, check);
    }

    if (app.count("--auto-reply") > 0) {
        if (given.autoReply.find('\0') == std::string::npos &&
            FitsUtf8Limit(given.autoReply, kMaxTextBytes)) {
            options.autoReply = given.autoReply;
        } else {
            check.Refuse("--auto-reply", "the text must be valid UTF-8 of at most " +
                                             std::to_string(kMaxTextBytes) + " bytes");
        }
    }
}

}  // namespace

std::optional<NodeOptions> ParseNodeCommandLine(int argc, const char* const* argv,
                                                std::string_view version, std::ostream& out,
                                                std::ostream& err, int& exitCode) {
    Overrides given;
    std::vector<std::string> positional;
    bool json = false;

    CLI::App app(
        "A parlon without a window: commands on standard input, events on standard output.",
        kProgram);
    app.set_version_flag("--version", std::string(kProgram) + " " + std::string(version));
    app.add_option("SETTINGS_FILE", positional,
                   "Settings file (default ./Parlon.ini; a bare name is looked up in the working "
                   "directory)")
        ->expected(0, 1)
        ->type_name("FILE");
    app.add_option("--nick", given.nickname, "Nickname (at most 12 bytes of UTF-8)")
        ->type_name("NAME");
    app.add_option("--ip", given.ip, "Own IPv4 address, announced to the center")
        ->type_name("A.B.C.D");
    app.add_option("--port", given.port,
                   "Own listening port, 1 to 65535; 0: one the system picks, named by the "
                   "listening event")
        ->type_name("N");
    app.add_option("--center", given.center, "The center's address")->type_name("A.B.C.D:PORT");
    app.add_option("--auto-reply", given.autoReply,
                   "Put TEXT in the reply box of every received message (it leaves when the "
                   "countdown ends)")
        ->type_name("TEXT");
    app.add_flag("--json", json, "Print events as JSON Lines");
    bool privateLog = false;
    app.add_flag("--private-log", privateLog,
                 "Leave message texts, nicknames of recipients and addresses of hops out of "
                 "Activity.log (as \"Private Log=1\" in the settings file)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {  // --help, --version
        exitCode = app.exit(done, out, err);
        return std::nullopt;
    } catch (const CLI::ParseError& failure) {
        app.exit(failure, out, err);
        exitCode = kUsageExitCode;
        return std::nullopt;
    }

    NodeOptions options;
    const std::filesystem::path settingsPath = SettingsPath(positional);
    options.settings = LoadSettings(settingsPath);
    options.format = json ? EventFormat::Json : EventFormat::Text;
    options.settings.privateLog = options.settings.privateLog || privateLog;
    ValueCheck check(err);
    ApplyOverrides(app, given, settingsPath.string(), options, check);
    if (check.Failed()) {
        exitCode = kUsageExitCode;
        return std::nullopt;
    }
    exitCode = 0;
    return options;
}

}  // namespace parlon
