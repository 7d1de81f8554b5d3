#pragma once

// Which role this process plays, chosen by the single command-line switch.
enum eAppType
{
    eAppUnknown = 0,
    eAppDaemon = 1,
    eAppAgent = 2,
    eAppLocal = 3
};

// Where the tray interface of a ServerApp lives: in this process or in a separate desktop agent.
enum GuiClientType
{
    GuiCoupled = 1,
    GuiDecoupled = 2
};

// Set once at the very start of main from the machine's architecture; read by the upgrade and the GUI.
extern bool IS_64_ARCH;
