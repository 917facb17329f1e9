#include "greet.h"

#include "hello-sdk.h"

std::string greeting(const std::string &name)
{
    return "Hello, " + name + " (" + helloSdkName + ")!";
}
