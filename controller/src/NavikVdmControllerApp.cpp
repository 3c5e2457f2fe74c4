#include "NavikVdmControllerApp.h"

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include "runtime/ConfigFile.h"
#include "runtime/Log.h"
#include "runtime/Utilities.h"

int CNavikVdmControllerApp::InitInstance(ui::MessageBoxes& boxes, const RunModal& runModal) {
    const std::string configPath = CUtilities::GetAppDataDir() + "/VdmControllerConfig.cfg";
    try {
        CConfigFile::Load(configPath);
    } catch (const CConfigureFailure&) {
        boxes.Show({"", "Cannot find the ./App_Data/VdmControllerConfig.cfg configuration file.", ui::BoxButtons::Ok,
                    ui::BoxIcon::Error});
        return 1;
    }
    CConfigFile::ConfigMap* config = CConfigFile::GetInstance();
    const int level = LogLevelFromWord(CConfigFile::GetString(config, "LOG_LEVEL", "INFO"));
    currentLevel.store(level);
    if (StartLogThread()) {
        OpenLog("TessikVdmController", "");
        currentLevel.store(level);
        DeleteOldLogFiles();
    }

    try {
        xercesc::XMLPlatformUtils::Initialize();
    } catch (const xercesc::XMLException& failure) {
        TSK_LOG(LOGLEVEL_ERROR, kControllerLogModule,
                "CNavikVdmControllerApp::InitInstance: XMLPlatformUtils::Initialize failed! : "
                    << CFromXmlCh(failure.getMessage()).str());
        CConfigFile::DeleteInstance(config);
        StopLogThread();
        boxes.Show({"", "Error: Failed to initialize XMLPlatformUtils", ui::BoxButtons::Ok, ui::BoxIcon::Error});
        return 1;
    }

    {
        CNavikVdmControllerDlg dialog(configPath, boxes);
        dialog.OnInitDialog();
        runModal(dialog);
        dialog.OnDestroy();
    }
    CConfigFile::DeleteInstance(config);
    StopLogThread();
    xercesc::XMLPlatformUtils::Terminate();
    return 0;
}
