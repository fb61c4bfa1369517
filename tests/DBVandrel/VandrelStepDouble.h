// SPDX-License-Identifier: MIT
#pragma once

#include "VandrelRun.h"

#include <functional>

/// A step that runs a function of the test on the step's worker.
class TFakeStep : public IVandrelStep
{
public:
    /// The step runs aBody.
    explicit TFakeStep(std::function<void(TStepContext&)> aBody)
        : FBody(std::move(aBody))
    {
    }
    void Run(TStepContext& aContext) override { FBody(aContext); }

private:
    std::function<void(TStepContext&)> FBody;
};
