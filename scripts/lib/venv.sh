# Sourced (from the checkout root) by the scripts that build or test: makes sure .venv/
# holds what the tests need, puts its bin/ first on PATH (so its CMake, Ninja and the
# installed tallyfold command come first) and sets $python to its interpreter.
bash scripts/install-deps.sh
export VIRTUAL_ENV=$PWD/.venv
export PATH=$VIRTUAL_ENV/bin:$PATH
python=$VIRTUAL_ENV/bin/python
