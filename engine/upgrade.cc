#include <cstdio>

#include "build_info.h"
#include "engine/apply.h"
#include "engine/fwdeploy.h"
#include "engine/policy.h"
#include "engine/scripts.h"
#include "engine/verify.h"

run_record run_of(const upgrade_ops* ops)
{
    run_record run{};
    run.trust = &ops->trust;
    run.policy = &ops->policy;
    run.slots = &ops->slots;
    run.apply_checked_patch = ops->apply_checked_patch;
    run.script_failure = ops->script_failure;
    return run;
}

int upgrade_run(const upgrade_ops* ops)
{
    printf("libfwdeploy version 0.2 commit: %s\n", FWDEPLOY_ENGINE_COMMIT);
    printf("Build by %s, date: %s\n", FWDEPLOY_ENGINE_BUILDER, FWDEPLOY_ENGINE_DATE);
    if (ops == nullptr || ops->get_buffer_size == nullptr)
        return -1;
    run_record run = run_of(ops);
    if (verify_package(&ops->src, ops->package_path, ops->report_progress,
                       ops->get_buffer_size(), &run) < 0)
        return -1;
    if (ops->check_only) {
        puts("Package checked: it would be accepted; nothing was run or written");
        return 0;
    }
    publish_attributes(&ops->policy);
    // A value inherited from whoever started the tool must not tell the
    // scripts of a package that writes no slot that it writes one.
    if (ops->policy.set_script_variable != nullptr)
        ops->policy.set_script_variable("FWDEPLOY_SLOT", run.slot_targets > 0
                                                             ? ops->slots.writing
                                                             : nullptr);
    if (run_begin_script(&ops->src, ops->package_path, ops->run_script) < 0)
        return -1;
    int status = apply_package(&ops->src, ops->package_path, &ops->part, &ops->ubi, &ops->file,
                               ops->apply_patch, ops->temp_dir, ops->run_script,
                               ops->get_buffer_size(), ops->report_progress, &run);
    // Only a pass that wrote every block may change what boots: a board cut
    // off before this point boots the slot it ran before.
    if (status == 0 && run.slot_writes > 0 &&
        (ops->slots.switch_boot == nullptr || ops->slots.switch_boot() < 0))
        status = -1;
    if (run_end_script(&ops->src, ops->package_path, ops->run_script, ops->get_buffer_size(),
                       status) < 0)
        return -1;
    return 0;
}
