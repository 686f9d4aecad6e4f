// The program as started from the command line: --help and --version without a display, the
// settings file named by the argument, and the activity log that cannot be opened.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>
#include <filesystem>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "support/temp_dir.h"

namespace parlon::testing {
namespace {

TEST(CommandLineTest, OnlyASingleHelpOrVersionArgumentPrints) {
    using Arguments = std::vector<std::string>;
    EXPECT_EQ(InformationRequest(Arguments{"--version"}), "parlon " PARLON_VERSION "\n");
    ASSERT_TRUE(InformationRequest(Arguments{"--help"}));
    EXPECT_EQ(InformationRequest(Arguments{"--help"})->rfind("Usage: parlon [SETTINGS-FILE]", 0),
              0u);
    EXPECT_FALSE(InformationRequest(Arguments{}));
    EXPECT_FALSE(InformationRequest(Arguments{"Parlon.ini"}));
    EXPECT_FALSE(InformationRequest(Arguments{"--help", "--version"}));
    EXPECT_FALSE(InformationRequest(Arguments{"--helpx"}));
    EXPECT_FALSE(InformationRequest(Arguments{"-h"}));
}

class ProgramTest : public ::testing::Test {
  protected:
    ProgramTest() {
        m_program.setProgram(QStringLiteral(PARLON_PROGRAM));
        m_program.setWorkingDirectory(QString::fromStdString(m_dir.Path().string()));
    }
    ~ProgramTest() override {
        if (m_program.state() != QProcess::NotRunning) {
            m_program.kill();
            m_program.waitForFinished(5000);
        }
    }

    void Start(const QStringList& arguments, const char* platform) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QString::fromLatin1(platform));
        environment.remove(QStringLiteral("DISPLAY"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        m_program.setProcessEnvironment(environment);
        m_program.setArguments(arguments);
        m_program.start();
        ASSERT_TRUE(m_program.waitForStarted(5000));
    }

    // Runs to its end and returns its standard output.
    std::string Finish() {
        EXPECT_TRUE(m_program.waitForFinished(10000));
        EXPECT_EQ(m_program.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(m_program.exitCode(), 0);
        return m_program.readAllStandardOutput().toStdString();
    }

    bool WaitForLog(const std::string& line) {
        return QTest::qWaitFor(
            [&] { return m_dir.Read("Activity.log").find(line) != std::string::npos; }, 10000);
    }

    TempDir m_dir;
    QProcess m_program;
};

TEST_F(ProgramTest, VersionAndHelpNeedNoDisplay) {
    Start({QStringLiteral("--version")}, "xcb");
    EXPECT_EQ(Finish(), "parlon " PARLON_VERSION "\n");
    Start({QStringLiteral("--help")}, "xcb");
    EXPECT_NE(Finish().find("SETTINGS-FILE"), std::string::npos);
}

TEST_F(ProgramTest, ASingleArgumentIsTheSettingsFileInTheWorkingDirectory) {
    m_dir.Write("mine.ini", "[Client Params]\nNickname=FromArgument\n");
    m_dir.Write("Parlon.ini", "[Client Params]\nNickname=FromDefault\n");
    Start({QStringLiteral("mine.ini")}, "offscreen");
    EXPECT_TRUE(WaitForLog("> FromArgument: ***** Application started!!! *****\n"));
}

TEST_F(ProgramTest, TwoArgumentsMeanTheDefaultSettingsFile) {
    m_dir.Write("mine.ini", "[Client Params]\nNickname=FromArgument\n");
    m_dir.Write("Parlon.ini", "[Client Params]\nNickname=FromDefault\n");
    Start({QStringLiteral("mine.ini"), QStringLiteral("other.ini")}, "offscreen");
    EXPECT_TRUE(WaitForLog("> FromDefault: ***** Application started!!! *****\n"));
}

TEST_F(ProgramTest, ALogThatCannotBeOpenedIsReportedByName) {
    std::filesystem::create_directory(m_dir.Path() / "Activity.log");
    Start({}, "offscreen");
    // The message box waits for the user; the same report goes to standard error at once.
    std::string errors;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            errors += m_program.readAllStandardError().toStdString();
            return errors.find("Activity.log") != std::string::npos;
        },
        10000))
        << errors;
    EXPECT_NE(errors.find("cannot open the activity log"), std::string::npos) << errors;
}

}  // namespace
}  // namespace parlon::testing
