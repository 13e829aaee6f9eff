"""Builders of MT940 texts shared by the Python tests."""

import pytest


def statement(
    reference="REF1",
    account="DE89370400440532013000",
    opening="C230131EUR1000,00",
    closing="C230131EUR1500,00",
    lines=(),
    number="1/1",
):
    """The text of one statement. `lines` holds (":61:" content, ":86:" content or None)."""
    out = [f":20:{reference}", f":25:{account}", f":28C:{number}", f":60F:{opening}"]
    for line, details in lines:
        out.append(f":61:{line}")
        if details is not None:
            out.append(f":86:{details}")
    out.append(f":62F:{closing}")
    return "\n".join(out) + "\n"


@pytest.fixture
def two_statements():
    """Two statements with two and one transactions; the second in another currency."""
    first = statement(
        reference="STMT-A",
        account="ACCOUNT-A",
        lines=[
            ("2301310131C500,00NTRFNONREF//BANKREF-1", "plain text details"),
            ("230131D12,34NMSCREF-2", None),
        ],
    )
    second = statement(
        reference="STMT-B",
        account="ACCOUNT-B",
        opening="D230201USD10,00",
        closing="C230201USD90,00",
        lines=[("230201C100,00NTRFREF-3", "second statement")],
    )
    return first + second
