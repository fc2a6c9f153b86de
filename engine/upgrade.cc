#include <cstdio>

#include "build_info.h"
#include "engine/apply.h"
#include "engine/fwdeploy.h"
#include "engine/policy.h"
#include "engine/scripts.h"
#include "engine/verify.h"

int upgrade_run(const upgrade_ops* ops)
{
    printf("libfwdeploy version 0.2 commit: %s\n", FWDEPLOY_ENGINE_COMMIT);
    printf("Build by %s, date: %s\n", FWDEPLOY_ENGINE_BUILDER, FWDEPLOY_ENGINE_DATE);
    if (ops == nullptr || ops->get_buffer_size == nullptr)
        return -1;
    uint32_t slot_targets = 0;
    if (verify_package(&ops->src, ops->package_path, ops->report_progress,
                       ops->get_buffer_size(), &ops->trust, &ops->policy, &ops->slots,
                       &slot_targets) < 0)
        return -1;
    if (ops->check_only) {
        puts("Package checked: it would be accepted; nothing was run or written");
        return 0;
    }
    publish_attributes(&ops->policy);
    if (slot_targets > 0 && ops->policy.set_script_variable != nullptr &&
        ops->slots.writing != nullptr)
        ops->policy.set_script_variable("FWDEPLOY_SLOT", ops->slots.writing);
    if (run_begin_script(&ops->src, ops->package_path, ops->run_script) < 0)
        return -1;
    uint32_t slot_writes = 0;
    int status = apply_package(&ops->src, ops->package_path, &ops->part, &ops->ubi, &ops->file,
                               ops->apply_patch, ops->temp_dir, ops->run_script,
                               ops->get_buffer_size(), ops->report_progress, &ops->trust,
                               ops->apply_checked_patch, &ops->slots, &slot_writes);
    // Only a pass that wrote every block may change what boots: a board cut
    // off before this point boots the slot it ran before.
    if (status == 0 && slot_writes > 0 &&
        (ops->slots.switch_boot == nullptr || ops->slots.switch_boot() < 0))
        status = -1;
    if (run_end_script(&ops->src, ops->package_path, ops->run_script, ops->get_buffer_size(),
                       status) < 0)
        return -1;
    return 0;
}
