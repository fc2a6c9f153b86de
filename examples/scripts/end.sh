# Runs after the blocks, whatever happened. fwdeploy sets OTA_STATUS before this
# text: 0 when every block was applied, -1 when one failed.
if [ "$OTA_STATUS" = 0 ]; then
    echo "end script: update applied"
else
    echo "end script: update failed, keeping the old firmware"
fi
echo "$OTA_STATUS" > board/data/ota-status
