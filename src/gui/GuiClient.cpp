#include "GuiClient.h"

GuiClient::GuiClient(QObject* parent)
    : QObject(parent)
{
}

GuiClient::~GuiClient() = default;

void GuiClient::start()
{
}

void GuiClient::updateGui()
{
}
