#pragma once
// The PostgreSQL server a test program shares: started when a test first
// needs it (Pg->Server(), none with Pg->Failure() saying why), stopped before
// the program ends. Include it in one file of a program only.
#include "support/PgServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

class TPgEnvironment : public ::testing::Environment {
public:
    TPgServer* Server()
    {
        if (!FTried) {
            FTried = true;
            FServer = std::make_unique<TPgServer>();
            if (!FServer->Start()) {
                FFailure = FServer->Error();
                FServer.reset();
            }
        }
        return FServer.get();
    }
    const std::string& Failure() const { return FFailure; }
    void TearDown() override { FServer.reset(); }

private:
    bool FTried = false;
    std::unique_ptr<TPgServer> FServer;
    std::string FFailure;
};

inline TPgEnvironment* const Pg = static_cast<TPgEnvironment*>(::testing::AddGlobalTestEnvironment(new TPgEnvironment));
