#!/usr/bin/env python3
"""Reference numbers for LoRA merging and the latent-consistency scheduler, from diffusers.

    lora        two random LoRA files for the tiny denoising network and text encoder under
                tests/nn/fixtures (one with kohya's names and alphas in F16, one with PEFT's
                names in F32), and what diffusers' load_lora_weights + fuse_lora make of
                them: some merged weights and both networks' outputs on their fixture
                inputs, after the first file at scale 0.8 alone and after both (the second
                at scale 1.5).
    xl          the same for the tiny XL denoising network (UNetXL.model) and both XL text
                encoders (XLConditioning/): one file in kohya's SDXL names (lora_te1_,
                lora_te2_, the denoising network by its original input_blocks/
                middle_block/output_blocks paths) at scale 0.7, then one in diffusers'
                names (text_encoder_2.) adding to it at 1.25, through
                StableDiffusionXLLoraLoaderMixin.
    lcm         LCMScheduler's timesteps for 1 to 8 steps and 4 steps of it on fixed
                network outputs, with the noise it draws between steps.

Writes tests/nn/fixtures/Lora*.safetensors, LoraXL*.safetensors and tests/pipeline/fixtures/LCMScheduler.safetensors.
Run with the reference environment of README.md.
"""

import json
import os
import pathlib
import sys

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import torch  # noqa: E402
from safetensors.torch import load_file, save_file  # noqa: E402

torch.set_num_threads(1)

ROOT = pathlib.Path(__file__).resolve().parents[2]
NN_FIXTURES = ROOT / "tests/nn/fixtures"
PIPELINE_FIXTURES = ROOT / "tests/pipeline/fixtures"

# Denoising-network layers of the tiny UNet.model the first file changes: linear
# attention and feed-forward projections, a time projection, a 1×1 projection
# convolution and 3×3 ResNet and resampling convolutions.
UNET_LAYERS_A = [
    "down_blocks.0.attentions.0.transformer_blocks.0.attn1.to_q",
    "down_blocks.0.attentions.0.transformer_blocks.0.attn2.to_k",
    "down_blocks.0.attentions.0.transformer_blocks.0.attn1.to_out.0",
    "down_blocks.0.attentions.0.transformer_blocks.0.ff.net.0.proj",
    "down_blocks.0.attentions.0.proj_in",
    "down_blocks.0.resnets.0.conv1",
    "down_blocks.0.resnets.0.time_emb_proj",
    "down_blocks.0.downsamplers.0.conv",
    "mid_block.attentions.0.transformer_blocks.0.attn2.to_v",
    "up_blocks.1.resnets.0.conv2",
    "up_blocks.1.resnets.0.conv_shortcut",
]
# The second file overlaps the first on one layer, so the two updates add up there.
UNET_LAYERS_B = [
    "down_blocks.0.attentions.0.transformer_blocks.0.attn1.to_q",
    "up_blocks.1.attentions.0.transformer_blocks.0.ff.net.2",
    "mid_block.resnets.1.conv1",
]
# diffusers patches every attention projection of every text encoder layer together.
TEXT_PROJECTIONS = ["q_proj", "k_proj", "v_proj", "out_proj"]

# Merged weights the test compares directly, beyond the networks' outputs.
CHECKED_WEIGHTS = [
    "unet:down_blocks.0.attentions.0.transformer_blocks.0.attn1.to_q",
    "unet:down_blocks.0.resnets.0.conv1",
    "unet:down_blocks.0.attentions.0.proj_in",
    "unet:mid_block.resnets.1.conv1",
    "text_encoder:text_model.encoder.layers.1.self_attn.v_proj",
]


def load_unet():
    from diffusers import UNet2DConditionModel

    bundle = NN_FIXTURES / "UNet.model"
    config = json.loads((bundle / "config.json").read_text())
    model = UNet2DConditionModel.from_config(config).eval()
    state = {name: value.to(torch.float32) for name, value in
             load_file(str(bundle / "model.safetensors")).items()}
    model.load_state_dict(state)
    return model


def load_text_encoder():
    from transformers import CLIPTextConfig, CLIPTextModel

    bundle = NN_FIXTURES / "TextEncoder.model"
    config = CLIPTextConfig(**json.loads((bundle / "config.json").read_text()))
    model = CLIPTextModel(config).eval()
    state = {name: value.to(torch.float32) if value.is_floating_point() else value
             for name, value in load_file(str(bundle / "model.safetensors")).items()}
    model.load_state_dict(state, strict=False)
    return model


def module(model, path):
    for part in path.split("."):
        model = getattr(model, part)
    return model


def lora_pair(layer, rank, generator, dtype):
    """down [rank, in, k, k] and up [out, rank, 1, 1] for a convolution, [rank, in] and
    [out, rank] for a linear layer, rounded to the stored precision."""
    weight = layer.weight
    if weight.dim() == 4:
        down = torch.randn((rank, weight.shape[1], *weight.shape[2:]), generator=generator)
        up = torch.randn((weight.shape[0], rank, 1, 1), generator=generator)
    else:
        down = torch.randn((rank, weight.shape[1]), generator=generator)
        up = torch.randn((weight.shape[0], rank), generator=generator)
    down = down / down[0].numel() ** 0.5
    up = 0.5 * up / rank ** 0.5
    return down.to(dtype).to(torch.float32), up.to(dtype).to(torch.float32)


def text_layers(text_encoder):
    return [f"text_model.encoder.layers.{i}.self_attn.{name}"
            for i in range(len(text_encoder.text_model.encoder.layers))
            for name in TEXT_PROJECTIONS]


def make_kohya(unet, text_encoder, seed):
    """kohya's names: the module path with underscores, alphas, F16."""
    generator = torch.Generator().manual_seed(seed)
    tensors = {}
    for prefix, model, layers, rank, alpha in (("lora_unet_", unet, UNET_LAYERS_A, 4, 2.0),
                                               ("lora_te_", text_encoder,
                                                text_layers(text_encoder), 2, 3.0)):
        for path in layers:
            down, up = lora_pair(module(model, path), rank, generator, torch.float16)
            name = prefix + path.replace(".", "_")
            tensors[name + ".lora_down.weight"] = down.to(torch.float16)
            tensors[name + ".lora_up.weight"] = up.to(torch.float16)
            tensors[name + ".alpha"] = torch.tensor(alpha, dtype=torch.float16)
    return tensors


def make_peft(unet, text_encoder, seed):
    """PEFT's names (lora_A = down, lora_B = up), no alphas, F32."""
    generator = torch.Generator().manual_seed(seed)
    tensors = {}
    for prefix, model, layers, rank in (("unet.", unet, UNET_LAYERS_B, 3),
                                        ("text_encoder.", text_encoder,
                                         text_layers(text_encoder), 2)):
        for path in layers:
            down, up = lora_pair(module(model, path), rank, generator, torch.float32)
            tensors[prefix + path + ".lora_A.weight"] = down.contiguous()
            tensors[prefix + path + ".lora_B.weight"] = up.contiguous()
    return tensors


def as_diffusers(tensors):
    """The PEFT file in the names diffusers 0.25 reads without the peft package."""
    renamed = {}
    for name, value in tensors.items():
        name = name.replace(".lora_A.weight", ".lora.down.weight")
        name = name.replace(".lora_B.weight", ".lora.up.weight")
        if name.startswith("text_encoder."):
            name = name.replace(".lora.", ".lora_linear_layer.")
        renamed[name] = value
    return renamed


def fuse(unet, text_encoder, tensors, scale):
    from diffusers.loaders import LoraLoaderMixin

    holder = type("Holder", (LoraLoaderMixin,), {})()
    holder.unet = unet
    holder.text_encoder = text_encoder
    holder.components = {"unet": unet, "text_encoder": text_encoder}
    holder.load_lora_weights(dict(tensors), low_cpu_mem_usage=False)
    holder.fuse_lora(lora_scale=scale)


def outputs(unet, text_encoder, prefix):
    unet_inputs = load_file(str(NN_FIXTURES / "UNet.fixture.safetensors"))
    text_inputs = load_file(str(NN_FIXTURES / "TextEncoder.fixture.safetensors"))
    states = unet_inputs["encoder_hidden_states"][:, :, 0, :].permute(0, 2, 1)
    with torch.no_grad():
        noise = unet(unet_inputs["sample"], unet_inputs["timestep"],
                     encoder_hidden_states=states).sample
        hidden = text_encoder(input_ids=text_inputs["input_ids"].to(torch.long)).last_hidden_state
    arrays = {prefix + "noise_pred": noise, prefix + "last_hidden_state": hidden}
    for entry in CHECKED_WEIGHTS:
        network, path = entry.split(":")
        model = unet if network == "unet" else text_encoder
        layer = module(model, path)
        weight = layer.weight if hasattr(layer, "weight") else layer.regular_linear_layer.weight
        arrays[prefix + path] = weight.detach().clone()
    return arrays


def write_lora():
    unet, text_encoder = load_unet(), load_text_encoder()
    kohya = make_kohya(unet, text_encoder, seed=41)
    peft = make_peft(unet, text_encoder, seed=42)
    save_file(kohya, str(NN_FIXTURES / "LoraKohya.safetensors"))
    save_file(peft, str(NN_FIXTURES / "LoraPeft.safetensors"))

    fuse(unet, text_encoder, kohya, 0.8)
    arrays = outputs(unet, text_encoder, "kohya/")
    fuse(unet, text_encoder, as_diffusers(peft), 1.5)
    arrays.update(outputs(unet, text_encoder, "both/"))
    save_file({name: value.to(torch.float32).contiguous() for name, value in arrays.items()},
              str(NN_FIXTURES / "Lora.fixture.safetensors"))
    print("wrote LoRA fixtures")


def write_lcm():
    from diffusers import LCMScheduler
    import diffusers.schedulers.scheduling_lcm as scheduling_lcm

    def make():
        return LCMScheduler(beta_start=0.00085, beta_end=0.012, beta_schedule="scaled_linear",
                            num_train_timesteps=1000)

    arrays = {}
    for steps in range(1, 9):
        scheduler = make()
        scheduler.set_timesteps(steps)
        arrays[f"timesteps/{steps}"] = scheduler.timesteps.to(torch.float32)

    generator = torch.Generator().manual_seed(51)
    shape = (1, 4, 4, 4)
    scheduler = make()
    scheduler.set_timesteps(4)
    drawn = []

    def recorded_noise(shape, generator=None, device=None, dtype=None):
        noise = torch.randn(shape, generator=noise_generator, dtype=torch.float32)
        drawn.append(noise)
        return noise

    noise_generator = torch.Generator().manual_seed(52)
    scheduling_lcm.randn_tensor = recorded_noise
    sample = torch.randn(shape, generator=generator)
    arrays["sample/0"] = sample
    for index, t in enumerate(scheduler.timesteps):
        output = torch.randn(shape, generator=generator)
        result = scheduler.step(output, t, sample)
        arrays[f"output/{index}"] = output
        arrays[f"denoised/{index}"] = result.denoised
        sample = result.prev_sample
        arrays[f"sample/{index + 1}"] = sample
    for index, noise in enumerate(drawn):
        arrays[f"noise/{index}"] = noise
    PIPELINE_FIXTURES.mkdir(parents=True, exist_ok=True)
    save_file({name: value.to(torch.float32).clone().contiguous() for name, value in arrays.items()},
              str(PIPELINE_FIXTURES / "LCMScheduler.safetensors"))
    print("wrote LCM fixtures")


# The tiny XL network: 3 levels, 1 layer per block, attention in levels 1 and 2 (up
# blocks 0 and 1). Original paths (input_blocks.N.M, middle_block.M, output_blocks.N.M)
# with the diffusers module each stands for.
XL_ORIGINAL_LAYERS = {
    "input_blocks.1.0.in_layers.2": "down_blocks.0.resnets.0.conv1",
    "input_blocks.1.0.emb_layers.1": "down_blocks.0.resnets.0.time_emb_proj",
    "input_blocks.2.0.op": "down_blocks.0.downsamplers.0.conv",
    "input_blocks.3.0.skip_connection": "down_blocks.1.resnets.0.conv_shortcut",
    "input_blocks.3.1.proj_in": "down_blocks.1.attentions.0.proj_in",
    "input_blocks.3.1.transformer_blocks.0.attn1.to_q":
        "down_blocks.1.attentions.0.transformer_blocks.0.attn1.to_q",
    "input_blocks.5.1.transformer_blocks.2.attn2.to_k":
        "down_blocks.2.attentions.0.transformer_blocks.2.attn2.to_k",
    "middle_block.1.transformer_blocks.0.ff.net.0.proj":
        "mid_block.attentions.0.transformer_blocks.0.ff.net.0.proj",
    "middle_block.2.out_layers.3": "mid_block.resnets.1.conv2",
    "output_blocks.1.1.transformer_blocks.1.attn1.to_out.0":
        "up_blocks.0.attentions.1.transformer_blocks.1.attn1.to_out.0",
    "output_blocks.2.2.conv": "up_blocks.1.upsamplers.0.conv",
    "output_blocks.3.1.proj_out": "up_blocks.1.attentions.1.proj_out",
    "output_blocks.4.0.in_layers.2": "up_blocks.2.resnets.0.conv1",
}
XL_DIFFUSERS_LAYERS = [
    "down_blocks.1.attentions.0.transformer_blocks.0.attn1.to_q",
    "up_blocks.0.resnets.1.conv2",
]
XL_CHECKED_WEIGHTS = [
    "unet:down_blocks.1.attentions.0.transformer_blocks.0.attn1.to_q",
    "unet:down_blocks.0.downsamplers.0.conv",
    "unet:up_blocks.1.upsamplers.0.conv",
    "unet:mid_block.resnets.1.conv2",
    "text_encoder:text_model.encoder.layers.0.self_attn.q_proj",
    "text_encoder_2:text_model.encoder.layers.1.self_attn.out_proj",
]
XL_INPUT_IDS = [[188, 10, 40, 70, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1]]


def load_xl():
    from diffusers import UNet2DConditionModel
    from transformers import CLIPTextConfig, CLIPTextModel, CLIPTextModelWithProjection

    def state_of(bundle):
        return {name: value.to(torch.float32) if value.is_floating_point() else value
                for name, value in load_file(str(bundle / "model.safetensors")).items()}

    bundle = NN_FIXTURES / "UNetXL.model"
    unet = UNet2DConditionModel.from_config(json.loads((bundle / "config.json").read_text()))
    unet.load_state_dict(state_of(bundle))
    encoders = []
    for name, kind in (("TextEncoder", CLIPTextModel),
                       ("TextEncoder2", CLIPTextModelWithProjection)):
        bundle = NN_FIXTURES / "XLConditioning" / f"{name}.model"
        model = kind(CLIPTextConfig(**json.loads((bundle / "config.json").read_text())))
        model.load_state_dict(state_of(bundle), strict=False)
        encoders.append(model.eval())
    return unet.eval(), encoders[0], encoders[1]


def make_xl_kohya(unet, first, second, seed):
    """F32: diffusers 0.25's XL loader turns F16 alphas into NaN outputs."""
    generator = torch.Generator().manual_seed(seed)
    tensors = {}
    for original, path in XL_ORIGINAL_LAYERS.items():
        down, up = lora_pair(module(unet, path), 4, generator, torch.float32)
        name = "lora_unet_" + original.replace(".", "_")
        tensors[name + ".lora_down.weight"] = down
        tensors[name + ".lora_up.weight"] = up
        tensors[name + ".alpha"] = torch.tensor(2.0, dtype=torch.float32)
    for prefix, model in (("lora_te1_", first), ("lora_te2_", second)):
        for path in text_layers(model):
            down, up = lora_pair(module(model, path), 2, generator, torch.float32)
            name = prefix + path.replace(".", "_")
            tensors[name + ".lora_down.weight"] = down
            tensors[name + ".lora_up.weight"] = up
            tensors[name + ".alpha"] = torch.tensor(1.0, dtype=torch.float32)
    return tensors


def make_xl_diffusers(unet, second, seed):
    """diffusers' own names (unet., text_encoder_2.), no alphas, F32."""
    generator = torch.Generator().manual_seed(seed)
    tensors = {}
    for path in XL_DIFFUSERS_LAYERS:
        down, up = lora_pair(module(unet, path), 3, generator, torch.float32)
        tensors["unet." + path + ".lora.down.weight"] = down.contiguous()
        tensors["unet." + path + ".lora.up.weight"] = up.contiguous()
    for path in text_layers(second):
        down, up = lora_pair(module(second, path), 2, generator, torch.float32)
        tensors["text_encoder_2." + path + ".lora_linear_layer.down.weight"] = down.contiguous()
        tensors["text_encoder_2." + path + ".lora_linear_layer.up.weight"] = up.contiguous()
    return tensors


def fuse_xl(unet, first, second, tensors, scale):
    from diffusers.loaders import StableDiffusionXLLoraLoaderMixin

    class Holder(StableDiffusionXLLoraLoaderMixin):
        # The XL loader does not pass low_cpu_mem_usage on to the text encoders, whose
        # default path needs the accelerate package.
        @classmethod
        def load_lora_into_text_encoder(cls, *args, **kwargs):
            kwargs["low_cpu_mem_usage"] = False
            return super().load_lora_into_text_encoder(*args, **kwargs)

    holder = Holder()
    holder.unet = unet
    holder.text_encoder = first
    holder.text_encoder_2 = second
    holder.components = {"unet": unet, "text_encoder": first, "text_encoder_2": second}
    holder.load_lora_weights(dict(tensors), low_cpu_mem_usage=False)
    holder.fuse_lora(lora_scale=scale)


def xl_outputs(unet, first, second, prefix):
    inputs = load_file(str(NN_FIXTURES / "UNetXL.fixture.safetensors"))
    states = inputs["encoder_hidden_states"][:, :, 0, :].permute(0, 2, 1)
    ids = torch.tensor(XL_INPUT_IDS, dtype=torch.long)
    with torch.no_grad():
        noise = unet(inputs["sample"], inputs["timestep"], encoder_hidden_states=states,
                     added_cond_kwargs={"text_embeds": inputs["text_embeds"],
                                        "time_ids": inputs["time_ids"]}).sample
        hidden = first(input_ids=ids).last_hidden_state
        projected = second(input_ids=ids)
    arrays = {prefix + "noise_pred": noise, prefix + "last_hidden_state": hidden,
              prefix + "last_hidden_state_2": projected.last_hidden_state,
              prefix + "text_embeds_2": projected.text_embeds}
    for entry in XL_CHECKED_WEIGHTS:
        network, path = entry.split(":")
        model = {"unet": unet, "text_encoder": first, "text_encoder_2": second}[network]
        layer = module(model, path)
        weight = layer.weight if hasattr(layer, "weight") else layer.regular_linear_layer.weight
        arrays[prefix + network + "/" + path] = weight.detach().clone()
    return arrays


def write_xl():
    unet, first, second = load_xl()
    kohya = make_xl_kohya(unet, first, second, seed=61)
    plain = make_xl_diffusers(unet, second, seed=62)
    save_file(kohya, str(NN_FIXTURES / "LoraXLKohya.safetensors"))
    save_file(plain, str(NN_FIXTURES / "LoraXLDiffusers.safetensors"))
    arrays = {"input_ids": torch.tensor(XL_INPUT_IDS, dtype=torch.float32)}
    fuse_xl(unet, first, second, kohya, 0.7)
    arrays.update(xl_outputs(unet, first, second, "kohya/"))
    fuse_xl(unet, first, second, plain, 1.25)
    arrays.update(xl_outputs(unet, first, second, "both/"))
    save_file({name: value.to(torch.float32).contiguous() for name, value in arrays.items()},
              str(NN_FIXTURES / "LoraXL.fixture.safetensors"))
    print("wrote XL LoRA fixtures")


def main(argv):
    torch.manual_seed(0)
    np.random.seed(0)
    for command in argv or ["lora", "xl", "lcm"]:
        {"lora": write_lora, "xl": write_xl, "lcm": write_lcm}[command]()


if __name__ == "__main__":
    main(sys.argv[1:])
