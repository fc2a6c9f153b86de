// The board's policy on the signed attributes of an accepted package: which
// boards it fits and whether it is older than what runs here.
#pragma once

#include "engine/fwdeploy.h"

// Judges the accepted package's attributes. 0 after the line naming the version
// and the compatible value that matched (no line for a package without
// attributes on a board without a policy), or -1 after the refusal line, with
// *report_text set to the text of the failure report.
int judge_policy(const policy_ops* policy, const char** report_text);

// Hands the package's version, compatible values (one per line) and
// description to the scripts' environment, empty where it has none.
void publish_attributes(const policy_ops* policy);
