#pragma once
// The service program run by a test, the soak program or a benchmark: a program folder of its own
// in the temporary directory (a copy of Tessik_VDM beside an App_Data copy whose VdmConfig.cfg
// names the DM stub's port, a configuration port and 1-second detection), the scripted capture
// library in place of the real one, console mode by default with its input kept open, and its
// console output in a file. The scanner of the scripted library can be unplugged and replugged.

#include <sys/types.h>

#include <csignal>

#include <string>
#include <vector>

namespace peers {

struct ServiceSetup {
    std::string program;      // the built Tessik_VDM
    std::string appData;      // the staged App_Data folder
    std::string fpLibrary;    // capture library to load (the scripted stand-in)
    std::string irisLibrary;  // iris capture library to load; empty: the default name
    bool fingerprint = true;  // modalities the service looks for
    bool iris = false;
    std::string script;       // TESSIK_ZARN_STANDIN_SCRIPT pairs
    std::string word = "console";  // empty: the program gets no argument
    int dmPort = 0;
    int configPort = 0;       // VdmListenPort; negative: the settings name none
    std::string logLevel = "DBG1";  // empty: no LOG_LEVEL line
    bool writeConfig = true;        // false: App_Data's VdmConfig.cfg as it is (or none)
    std::vector<std::string> environment;  // more "NAME=value" entries
};

class CServiceProcess {
public:
    CServiceProcess() = default;
    CServiceProcess(const CServiceProcess&) = delete;
    CServiceProcess& operator=(const CServiceProcess&) = delete;
    // Kills a program still running (a test that failed midway) and removes the folder.
    ~CServiceProcess();

    bool Start(const ServiceSetup& setup);
    // SIGTERM (or the given signal), then the exit status once it ended; -1 when it did not end
    // within the wait, -2 when it ended by a signal.
    int Terminate(int waitMs = 10000, int signal = SIGTERM);
    // The exit status once the program ended by itself, as Terminate reports it.
    int Wait(int waitMs = 10000);
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    const std::string& Dir() const { return dir_; }
    std::string ConsoleText() const;
    // Writes to the program's standard input; false when it is gone.
    bool WriteInput(const std::string& text);
    // The scripted scanner seen unplugged or plugged in (within 20 ms).
    void SetPlugged(bool plugged);
    // Resident memory in KiB and processor time in seconds of the running program.
    long ResidentKiB() const;
    double CpuSeconds() const;

private:
    pid_t pid_ = -1;
    int stdinPipe_ = -1;
    std::string dir_;
};

}  // namespace peers
