#pragma once

#include <QJsonObject>

class BaseClient;
class VTMsgHandler;

// Picks the handler class from the body's "type"; the caller owns what it returns.
class VTMsgHandlerFactory
{
public:
    static VTMsgHandler* createHandler(const QJsonObject& json, BaseClient* client);
};
