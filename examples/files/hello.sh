#!/bin/sh
# Installed by the 2.0 package as a new executable file.
echo "hello from firmware 2.0"
