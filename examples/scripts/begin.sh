# Runs before any block is applied; a real board would stop services here.
echo "begin script: firmware 2.0 is about to be installed"
