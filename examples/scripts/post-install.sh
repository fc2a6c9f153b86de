# A script block: runs in package order, between the blocks around it.
echo "post-install: recording the installed version"
echo "2.0" > board/data/etc/version
