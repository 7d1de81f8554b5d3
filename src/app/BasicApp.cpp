#include "BasicApp.h"

void BasicApp::Quit()
{
    emit quit();
}
