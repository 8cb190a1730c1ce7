#pragma once

#include <array>

class ErrorBox;
class ResultsBox;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimer;

/// Pointers to every control of the main window, under the names the handlers use. The window
/// creates the controls and fills this struct; the handler units only hold a reference to it.
/// Each control's objectName equals its name here.
struct Controls {
    ErrorBox* txtError = nullptr;

    QGroupBox* frmCtlrAddr = nullptr; // "Open Server"
    QComboBox* combSrvrs = nullptr;
    QPushButton* cmdLink = nullptr;
    QPushButton* cmdHelp = nullptr;

    QGroupBox* frmAddr = nullptr; // "Instrument Resource  Address"
    QPushButton* cmdFindInst = nullptr;
    QComboBox* combInst = nullptr;
    QPushButton* cmdLinki = nullptr;
    QLabel* lbliLock = nullptr;

    QGroupBox* frm488_1 = nullptr; // "Interface Commands"
    QPushButton* cmdIFC = nullptr;
    QPushButton* cmdStatus = nullptr;

    QGroupBox* frmTerm = nullptr; // "Message Terminators"
    QCheckBox* ckCR = nullptr;
    QCheckBox* ckLF = nullptr;

    QGroupBox* frmSig = nullptr; // "Control Signals"
    QCheckBox* ckRen = nullptr;
    QCheckBox* ckATN = nullptr;
    QLabel* lblKeepAliveMsg = nullptr;

    QGroupBox* frmCMD = nullptr; // "Device Command"
    QComboBox* combCmd = nullptr;
    QPushButton* cmdSend = nullptr;

    QGroupBox* frm488_2 = nullptr; // "Instrument Commands"
    QCheckBox* ckAutoLock = nullptr;
    QPushButton* cmdLock = nullptr;
    QPushButton* cmdUnlock = nullptr;
    QPushButton* cmdSDC = nullptr;
    QPushButton* cmdDT = nullptr;
    QPushButton* cmdSpoll = nullptr;

    QGroupBox* frmResults = nullptr; // "Device Response"
    QCheckBox* ckAutoQuery = nullptr;
    QCheckBox* ckByteCnt = nullptr;
    QCheckBox* ckDispAll = nullptr;
    QPushButton* cmdRead = nullptr;
    ResultsBox* txtResults = nullptr;

    QGroupBox* frmIDNLoop = nullptr; // "IDN Message Loop"
    QPushButton* cmdIDNtst = nullptr;
    QPushButton* cmdIDNtstoff = nullptr;
    QLabel* lblCount = nullptr;
    QLineEdit* txtCount = nullptr;
    QLabel* ImageBrask = nullptr;

    QGroupBox* frmCmdLp = nullptr; // "Device Command Loop"
    QPushButton* cmdCmdtst = nullptr;
    QPushButton* cmdCmdtstoff = nullptr;

    QGroupBox* frmTimeout = nullptr;           // "Link Timeout"
    std::array<QRadioButton*, 4> optTimeout{}; // "1 Sec", "3 Sec", "10 Sec", "None"
    QLineEdit* txtRev = nullptr;
    QPushButton* cmdExit = nullptr;

    QTimer* Timer1 = nullptr; // test loops: 250 ms while a loop may run, stopped otherwise
    QTimer* Timer2 = nullptr; // keep-alive: 60000 ms from start-up to exit
};
