// JxJson: the base class of the platform's JSON helpers; nothing to call, no state.
#pragma once

class JxJson {};
